#include "cpython/common/binder.hpp"

#include <string>

namespace zor::py {
namespace {

void raise_type_error(const std::string& message) { PyErr_SetString(PyExc_TypeError, message.c_str()); }

bool check_positional_count(const Signature& sig, std::size_t required, std::size_t given) {
  std::size_t count = sig.count();
  if (given <= count) return true;
  std::string message = std::string(sig.name) + "() takes ";
  if (required != count) message += "from " + std::to_string(required) + " to ";
  message += std::to_string(count) + " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was given" : " were given");
  raise_type_error(message);
  return false;
}

// Places one keyword argument; false with TypeError set when the name is
// unknown or already filled.
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** slots) {
  std::size_t count = sig.count();
  for (std::size_t i = 0; i < count; ++i) {
    int match = PyUnicode_Check(key) ? PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0 : 0;
    if (!match) continue;
    if (slots[i] != nullptr) {
      raise_type_error(std::string(sig.name) + "() got multiple values for argument '" + sig.params[i] + "'");
      return false;
    }
    slots[i] = value;
    return true;
  }
  Ref key_text = Ref::steal(PyObject_Str(key));
  const char* key_utf8 = key_text ? PyUnicode_AsUTF8(key_text.get()) : nullptr;
  if (key_utf8 == nullptr) return false;
  raise_type_error(std::string(sig.name) + "() got an unexpected keyword argument '" + key_utf8 + "'");
  return false;
}

bool check_missing(const Signature& sig, std::size_t required, PyObject** slots) {
  std::size_t missing[kMaxParams];
  std::size_t n_missing = 0;
  for (std::size_t i = 0; i < required; ++i)
    if (slots[i] == nullptr) missing[n_missing++] = i;
  if (n_missing == 0) return true;
  std::string message = std::string(sig.name) + "() missing " + std::to_string(n_missing) +
                        " required positional " + (n_missing == 1 ? "argument: " : "arguments: ");
  for (std::size_t k = 0; k < n_missing; ++k) {
    if (k > 0) {
      if (k + 1 == n_missing)
        message += n_missing >= 3 ? ", and " : " and ";
      else
        message += ", ";
    }
    message += std::string("'") + sig.params[missing[k]] + "'";
  }
  raise_type_error(message);
  return false;
}

}  // namespace

bool bind_vector(const Signature& sig, std::size_t required, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** slots) {
  std::size_t count = sig.count();
  for (std::size_t i = 0; i < count; ++i) slots[i] = nullptr;
  std::size_t positional = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
  if (!check_positional_count(sig, required, positional)) return false;
  for (std::size_t i = 0; i < positional; ++i) slots[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t n_kw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n_kw; ++k)
      if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[positional + static_cast<std::size_t>(k)],
                         slots))
        return false;
  }
  return check_missing(sig, required, slots);
}

bool bind_tuple(const Signature& sig, std::size_t required, PyObject* args, PyObject* kwargs,
                PyObject** slots) {
  std::size_t count = sig.count();
  for (std::size_t i = 0; i < count; ++i) slots[i] = nullptr;
  std::size_t positional = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  if (!check_positional_count(sig, required, positional)) return false;
  for (std::size_t i = 0; i < positional; ++i) slots[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
  if (kwargs != nullptr) {
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value))
      if (!place_keyword(sig, key, value, slots)) return false;
  }
  return check_missing(sig, required, slots);
}

void name_argument_error(const char* name) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr || Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(raised);
    return;
  }
  Ref original = Ref::steal(raised);
  Ref text = Ref::steal(PyObject_Str(original.get()));
  if (!text) return;
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  Ref renamed = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!renamed) return;
  // PyException_SetCause steals the cause reference; a null cause clears it.
  PyException_SetCause(renamed.get(), PyException_GetCause(original.get()));
  PyErr_SetRaisedException(renamed.release());
}

}  // namespace zor::py
