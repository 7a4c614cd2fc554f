#include "cpython/common/search_settings.hpp"

#include <cstdint>

#include "cpython/common/errors.hpp"

namespace zor::py {
namespace {

// What a setting of each type must be, as messages say it.
template <class T>
struct Expected;
template <>
struct Expected<std::uint64_t> {
  static constexpr const char* text = "a non-negative integer";
};
template <>
struct Expected<double> {
  static constexpr const char* text = "a number";
};
template <>
struct Expected<bool> {
  static constexpr const char* text = "True or False";
};

#define ZOR_OPTION_NAME(type, name, fallback) #name,
constexpr const char* kSettingNames[] = {ZOR_SEARCH_OPTIONS(ZOR_OPTION_NAME)};
#undef ZOR_OPTION_NAME

// 1 for a dict or any collections.abc.Mapping, 0 for other objects, -1 with
// an error set.
int is_mapping(PyObject* obj) {
  if (PyDict_Check(obj)) return 1;
  Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
  if (!abc) return -1;
  Ref mapping = Ref::steal(PyObject_GetAttrString(abc.get(), "Mapping"));
  if (!mapping) return -1;
  return PyObject_IsInstance(obj, mapping.get());
}

// False with ValueError set when a key of the mapping is no setting's name.
bool check_keys(PyObject* mapping) {
  Ref keys = Ref::steal(PyMapping_Keys(mapping));
  if (!keys) return false;
  Ref iterator = Ref::steal(PyObject_GetIter(keys.get()));
  if (!iterator) return false;
  while (Ref key = Ref::steal(PyIter_Next(iterator.get()))) {
    bool known = false;
    if (PyUnicode_Check(key.get()))
      for (const char* name : kSettingNames)
        known = known || PyUnicode_CompareWithASCIIString(key.get(), name) == 0;
    if (!known) {
      PyErr_Format(PyExc_ValueError, "unknown search option %R", key.get());
      return false;
    }
  }
  return !PyErr_Occurred();
}

// The setting's value as a new reference; null without an error when the
// source does not have it.
Ref read_setting(PyObject* source, bool mapping, const char* name) {
  Ref value;
  if (mapping) {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) return value;
    value = Ref::steal(PyObject_GetItem(source, key.get()));
    if (!value && PyErr_ExceptionMatches(PyExc_KeyError)) PyErr_Clear();
  } else {
    value = Ref::steal(PyObject_GetAttrString(source, name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
  }
  return value;
}

// Re-raises the converter's pending TypeError, ValueError or OverflowError
// as the same type with a message that names the setting, the original as
// its cause; any other error is left as it is.
void name_setting_error(const char* name, const char* expected, PyObject* value) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  Ref original = Ref::steal(raised);
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(raised));
  Ref message;
  if (type == PyExc_TypeError) {
    message = Ref::steal(
        PyUnicode_FromFormat("%s must be %s, not %s", name, expected, type_qualname(value).c_str()));
  } else if (type == PyExc_ValueError || type == PyExc_OverflowError) {
    message = Ref::steal(PyUnicode_FromFormat("%s must be %s: %S", name, expected, raised));
  } else {
    PyErr_SetRaisedException(original.release());
    return;
  }
  if (!message) return;
  Ref renamed = Ref::steal(PyObject_CallOneArg(type, message.get()));
  if (!renamed) return;
  PyException_SetCause(renamed.get(), original.release());  // steals the cause
  PyErr_SetRaisedException(renamed.release());
}

template <class T>
bool read_setting_into(PyObject* source, bool mapping, const char* name, T& field) {
  Ref value = read_setting(source, mapping, name);
  if (!value) return !PyErr_Occurred();
  if (value.get() == Py_None) return true;
  if (Converter<T>::convert(value.get(), field)) return true;
  name_setting_error(name, Expected<T>::text, value.get());
  return false;
}

}  // namespace

bool Converter<discover::SearchOptions>::convert(PyObject* obj, discover::SearchOptions& out) {
  out = discover::SearchOptions{};
  if (obj == Py_None) return true;
  const int mapping = is_mapping(obj);
  if (mapping < 0 || (mapping == 1 && !check_keys(obj))) return false;
  // A number, a string or a sequence has none of the settings: read as an
  // object it would run a search with every default instead of failing.
  if (mapping == 0 && (PyNumber_Check(obj) || PySequence_Check(obj))) {
    PyErr_Format(PyExc_TypeError,
                 "expected a mapping or an object with the search settings as attributes, not %s",
                 type_qualname(obj).c_str());
    return false;
  }
#define ZOR_READ_OPTION(type, name, fallback) &&read_setting_into<type>(obj, mapping == 1, #name, out.name)
  return true ZOR_SEARCH_OPTIONS(ZOR_READ_OPTION);
#undef ZOR_READ_OPTION
}

}  // namespace zor::py
