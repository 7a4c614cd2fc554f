#include "cpython/common/binder.hpp"

#include <string>
#include <vector>

namespace zor::py {
namespace {

void raise_type_error(const std::string& message) { PyErr_SetString(PyExc_TypeError, message.c_str()); }

std::size_t required_positional(const Parameters& params) {
  std::size_t required = 0;
  while (required < params.positional && params.list[required].required()) ++required;
  return required;
}

bool check_positional_count(const Parameters& params, std::size_t given) {
  const std::size_t count = params.positional;
  if (given <= count) return true;
  const std::size_t required = required_positional(params);
  std::string message = std::string(params.callable) + "() takes ";
  if (required != count) message += "from " + std::to_string(required) + " to ";
  message += std::to_string(count) + " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was given" : " were given");
  raise_type_error(message);
  return false;
}

// Places one keyword argument; false with TypeError set when the name is
// unknown or already filled.
bool place_keyword(const Parameters& params, PyObject* key, PyObject* value, PyObject** slots) {
  std::string_view key_name;
  if (PyUnicode_Check(key)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (utf8 != nullptr)
      key_name = std::string_view(utf8, static_cast<std::size_t>(size));
    else
      PyErr_Clear();  // not UTF-8 encodable, so no parameter's name
  }
  for (std::size_t i = 0; i < params.list.size(); ++i) {
    if (key_name.empty() || params.list[i].name != key_name) continue;
    if (slots[i] != nullptr) {
      raise_type_error(std::string(params.callable) + "() got multiple values for argument '" +
                       std::string(params.list[i].name) + "'");
      return false;
    }
    slots[i] = value;
    return true;
  }
  Ref key_text = Ref::steal(PyObject_Str(key));
  const char* key_utf8 = key_text ? PyUnicode_AsUTF8(key_text.get()) : nullptr;
  if (key_utf8 == nullptr) return false;
  raise_type_error(std::string(params.callable) + "() got an unexpected keyword argument '" + key_utf8 + "'");
  return false;
}

// "missing 2 required positional arguments: 'a' and 'b'" for the required
// parameters of one kind that were not given; true when there are none.
bool check_missing_of_kind(const Parameters& params, PyObject** slots, bool keyword_only) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < params.list.size(); ++i)
    if (params.list[i].keyword_only == keyword_only && params.list[i].required() && slots[i] == nullptr)
      missing.push_back(params.list[i].name);
  if (missing.empty()) return true;
  const std::size_t n = missing.size();
  std::string message = std::string(params.callable) + "() missing " + std::to_string(n) + " required " +
                        (keyword_only ? "keyword-only" : "positional") +
                        (n == 1 ? " argument: " : " arguments: ");
  for (std::size_t k = 0; k < n; ++k) {
    if (k > 0) {
      if (k + 1 == n)
        message += n >= 3 ? ", and " : " and ";
      else
        message += ", ";
    }
    message += "'" + std::string(missing[k]) + "'";
  }
  raise_type_error(message);
  return false;
}

bool check_missing(const Parameters& params, PyObject** slots) {
  return check_missing_of_kind(params, slots, false) && check_missing_of_kind(params, slots, true);
}

}  // namespace

bool bind_vector(const Parameters& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** slots) {
  for (std::size_t i = 0; i < params.list.size(); ++i) slots[i] = nullptr;
  const std::size_t positional = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
  if (!check_positional_count(params, positional)) return false;
  for (std::size_t i = 0; i < positional; ++i) slots[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t n_kw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n_kw; ++k)
      if (!place_keyword(params, PyTuple_GET_ITEM(kwnames, k), args[positional + static_cast<std::size_t>(k)],
                         slots))
        return false;
  }
  return check_missing(params, slots);
}

bool bind_tuple(const Parameters& params, PyObject* args, PyObject* kwargs, PyObject** slots) {
  for (std::size_t i = 0; i < params.list.size(); ++i) slots[i] = nullptr;
  const std::size_t positional = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  if (!check_positional_count(params, positional)) return false;
  for (std::size_t i = 0; i < positional; ++i) slots[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
  if (kwargs != nullptr) {
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value))
      if (!place_keyword(params, key, value, slots)) return false;
  }
  return check_missing(params, slots);
}

void name_argument_error(std::string_view name, bool value_errors_too) {
  PyObject* raised = PyErr_GetRaisedException();
  PyTypeObject* type = raised != nullptr ? Py_TYPE(raised) : nullptr;
  const bool renamed_type =
      type == reinterpret_cast<PyTypeObject*>(PyExc_TypeError) ||
      (value_errors_too && (type == reinterpret_cast<PyTypeObject*>(PyExc_ValueError) ||
                            type == reinterpret_cast<PyTypeObject*>(PyExc_OverflowError)));
  if (!renamed_type) {
    PyErr_SetRaisedException(raised);
    return;
  }
  Ref original = Ref::steal(raised);
  Ref text = Ref::steal(PyObject_Str(original.get()));
  if (!text) return;
  const std::string argument(name);
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", argument.c_str(), text.get()));
  if (!message) return;
  Ref renamed = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(type), message.get()));
  if (!renamed) return;
  // PyException_SetCause steals the cause reference; a null cause clears it.
  PyException_SetCause(renamed.get(), PyException_GetCause(original.get()));
  PyErr_SetRaisedException(renamed.release());
}

}  // namespace zor::py
