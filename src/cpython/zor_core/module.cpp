// The module's entry point, its function table and the body that fills the
// module at import.
#include <string>

#include "cpython/common/errors.hpp"
#include "cpython/common/function.hpp"
#include "cpython/common/process_module.hpp"
#include "cpython/zor_core/value_classes.hpp"
#include "cpython/zor_core/zor_core_entries.hpp"

namespace zor::py {
namespace {

// find_formula comes last, after the PySearchResult class.
PyMethodDef find_formula_def = find_formula_function();

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "zor_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

ProcessModule zor_core_module("zor_core");

// Appends `name` to __all__ (created on first use), then sets the attribute.
bool add_object(PyObject* module, const char* name, PyObject* object) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return false;
  }
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
  return PyObject_SetAttr(module, key.get(), object) == 0;
}

// Adds a class; a failed type creation becomes RuntimeError with the cause.
bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) {
    PyObject* cause = PyErr_GetRaisedException();
    std::string message = std::string("An error occurred while initializing class ") + name;
    Ref error = Ref::steal(PyObject_CallFunction(PyExc_RuntimeError, "s", message.c_str()));
    if (!error) {
      Py_XDECREF(cause);
      return false;
    }
    PyException_SetCause(error.get(), cause);
    PyErr_SetRaisedException(error.release());
    return false;
  }
  return add_object(module, name, reinterpret_cast<PyObject*>(type));
}

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  Ref function = Ref::steal(PyCMethod_New(def, module, module_name, nullptr));
  if (!function) return false;
  Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  const char* name_utf8 = PyUnicode_AsUTF8(name.get());
  return name_utf8 != nullptr && add_object(module, name_utf8, function.get());
}

bool fill_module(PyObject* module) {
  if (!add_class(module, "ZORPoint", class_type<Point>()) ||
      !add_class(module, "ZORPair", class_type<Pair>()) || !add_class(module, "ZORKnot", class_type<Knot>()))
    return false;
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (PyMethodDef& def : kernel_functions())
    if (!add_function(module, module_name.get(), &def)) return false;
  return add_class(module, "PySearchResult", search_result_type()) &&
         add_function(module, module_name.get(), &find_formula_def);
}

}  // namespace
}  // namespace zor::py

PyMODINIT_FUNC PyInit_zor_core() {
  return zor::py::guarded(
      [] { return zor::py::zor_core_module.import(zor::py::module_def, zor::py::fill_module); });
}
