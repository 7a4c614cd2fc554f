#include "cpython/common/convert_arguments.hpp"

#include <bit>
#include <cstring>
#include <initializer_list>
#include <string>

#include "cpython/common/errors.hpp"

namespace zor::py {
namespace {

bool has_type_name(PyObject* obj, const char* module, const char* name) {
  PyTypeObject* type = Py_TYPE(obj);
  const char* full = type->tp_name;  // "module.name" for extension types
  std::size_t module_len = std::strlen(module);
  return std::strncmp(full, module, module_len) == 0 && full[module_len] == '.' &&
         std::strcmp(full + module_len + 1, name) == 0;
}

// 1 when type(obj).__module__ is `module` and type(obj).__name__ one of
// `names`, 0 when not, -1 with an error set when reading them raised. Read as
// Python reads them, so a heap type's __module__ is the one its class body
// set, and a type without __module__ simply does not match.
int type_is_one_of(PyObject* obj, const char* module, std::initializer_list<const char*> names) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  auto read_str = [type](const char* attribute, Ref& out) {
    out = Ref::steal(PyObject_GetAttrString(type, attribute));
    if (out) return PyUnicode_Check(out.get()) ? 1 : 0;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  };
  Ref module_name;
  int found = read_str("__module__", module_name);
  if (found <= 0) return found;
  if (PyUnicode_CompareWithASCIIString(module_name.get(), module) != 0) return 0;
  Ref type_name;
  found = read_str("__name__", type_name);
  if (found <= 0) return found;
  for (const char* name : names)
    if (PyUnicode_CompareWithASCIIString(type_name.get(), name) == 0) return 1;
  return 0;
}

// Reads a C-contiguous one-dimensional float64 buffer (array('d'), a NumPy
// float64 array, a memoryview of either) with one copy. Only exact types
// whose iteration yields exactly these values take this path.
enum class BufferRead { kDone, kNotApplicable, kFailed };

BufferRead read_float64_buffer(PyObject* obj, std::vector<double>& out) {
  bool known_type = Py_IS_TYPE(obj, &PyMemoryView_Type) || has_type_name(obj, "array", "array") ||
                    has_type_name(obj, "numpy", "ndarray");
  if (!known_type || !PyObject_CheckBuffer(obj)) return BufferRead::kNotApplicable;
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
    PyErr_Clear();
    return BufferRead::kNotApplicable;
  }
  const char* format = view.format != nullptr ? view.format : "B";
  bool little_endian = std::endian::native == std::endian::little;
  bool is_native_double = std::strcmp(format, "d") == 0 || std::strcmp(format, "=d") == 0 ||
                          std::strcmp(format, "@d") == 0 || (little_endian && std::strcmp(format, "<d") == 0);
  BufferRead result = BufferRead::kNotApplicable;
  if (is_native_double && view.ndim == 1 && view.itemsize == sizeof(double)) {
    std::size_t count = static_cast<std::size_t>(view.len) / sizeof(double);
    try {
      out.resize(count);
      if (count != 0) std::memcpy(out.data(), view.buf, count * sizeof(double));
      result = BufferRead::kDone;
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      result = BufferRead::kFailed;
    }
  }
  PyBuffer_Release(&view);
  return result;
}

bool convert_pair(PyObject* obj, Pair& out) {
  if (!PyTuple_Check(obj)) {
    raise_cannot_convert(obj, "PyTuple");
    return false;
  }
  Py_ssize_t size = PyTuple_GET_SIZE(obj);
  if (size != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", size);
    return false;
  }
  return convert_float(PyTuple_GET_ITEM(obj, 0), out.real) &&
         convert_float(PyTuple_GET_ITEM(obj, 1), out.imag);
}

bool convert_octet(PyObject* obj, Octet& out) {
  if (!PySequence_Check(obj)) {
    raise_cannot_convert(obj, "Sequence");
    return false;
  }
  Py_ssize_t size = PyObject_Size(obj);
  if (size < 0) return false;
  if (size != 8) {
    PyErr_Format(PyExc_ValueError, "expected a sequence of length 8 (got %zd)", size);
    return false;
  }
  for (Py_ssize_t i = 0; i < 8; ++i) {
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    if (!index) return false;
    Ref item = Ref::steal(PyObject_GetItem(obj, index.get()));
    if (!item || !convert_float(item.get(), out[static_cast<std::size_t>(i)])) return false;
  }
  return true;
}

}  // namespace

bool convert_float(PyObject* obj, double& out) {
  if (PyFloat_CheckExact(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_index(PyObject* obj, std::uint64_t& out) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) return false;
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_int64(PyObject* obj, std::int64_t& out) {
  long long value = PyLong_AsLongLong(obj);
  if (value == -1 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_small_int(PyObject* obj, std::int8_t& out) {
  long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < -128 || value > 127) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<std::int8_t>(value);
  return true;
}

bool convert_flag(PyObject* obj, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  int numpy_bool = type_is_one_of(obj, "numpy", {"bool_", "bool"});
  if (numpy_bool < 0) return false;
  if (numpy_bool == 1) {
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
      PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                   type_qualname(obj).c_str());
      return false;
    }
    int truth = number->nb_bool(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  raise_cannot_convert(obj, "PyBool");
  return false;
}

bool convert_float_list(PyObject* obj, std::vector<double>& out) {
  switch (read_float64_buffer(obj, out)) {
    case BufferRead::kDone:
      return true;
    case BufferRead::kFailed:
      return false;
    case BufferRead::kNotApplicable:
      break;
  }
  return convert_sequence(obj, out, convert_float);
}

bool convert_pair_list(PyObject* obj, std::vector<Pair>& out) {
  return convert_sequence(obj, out, convert_pair);
}

bool convert_octet_list(PyObject* obj, std::vector<Octet>& out) {
  return convert_sequence(obj, out, convert_octet);
}

bool convert_float_lists(PyObject* obj, std::vector<std::vector<double>>& out) {
  return convert_sequence(obj, out, convert_float_list);
}

bool convert_small_int_list(PyObject* obj, std::vector<std::int8_t>& out) {
  return convert_sequence(obj, out, convert_small_int);
}

bool convert_text(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    raise_cannot_convert(obj, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

bool convert_callable(PyObject* obj, Callable& out) {
  if (!PyCallable_Check(obj)) {
    raise_cannot_convert(obj, "Callable");
    return false;
  }
  out.function = Ref::borrow(obj);
  return true;
}

}  // namespace zor::py
