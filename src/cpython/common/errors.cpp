#include "cpython/common/errors.hpp"

#include <exception>
#include <new>
#include <stdexcept>

#include "core/discover/search.hpp"

namespace zor::py {
namespace {

const char* panic_name = "zor_core.PanicException";
const char* panic_doc =
    "A native fault inside zor_core aborted the call.\n\n"
    "Derived from BaseException, like an interpreter-level failure.";

}  // namespace

void name_panic_exception(const char* qualified_name, const char* doc) {
  panic_name = qualified_name;
  panic_doc = doc;
}

PyObject* panic_exception_type() {
  // Created once per process and kept for its lifetime.
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyErr_NewExceptionWithDoc(panic_name, panic_doc, PyExc_BaseException, nullptr);
  return type;
}

void raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the error of the failed creation stays set
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(
      message, static_cast<Py_ssize_t>(std::char_traits<char>::length(message)), "replace"));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

std::string type_qualname(PyObject* obj) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  const char* utf8 = PyUnicode_AsUTF8(name.get());
  if (utf8 == nullptr) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  return utf8;
}

void raise_cannot_convert(PyObject* obj, const char* target) {
  std::string message = "'" + type_qualname(obj) + "' object cannot be converted to '" + target + "'";
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const discover::Cancelled&) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "a native search was cancelled without an error");
  } catch (const discover::SearchMemoryExceeded& e) {  // before its base, std::bad_alloc
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::invalid_argument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown native fault");
  }
}

}  // namespace zor::py
