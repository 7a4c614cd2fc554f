#include "cpython/common/process_module.hpp"

namespace zor::py {

PyObject* ProcessModule::import(PyModuleDef& def, bool (*fill)(PyObject* module)) {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!owning_interpreter_.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_Format(PyExc_ImportError,
                 "%s does not support sub-interpreters: it can be imported only in the interpreter that "
                 "first imported it",
                 name_);
    return nullptr;
  }
  if (cached_ != nullptr) return Py_NewRef(cached_);
  Ref module = Ref::steal(PyModule_Create2(&def, PYTHON_API_VERSION));
  if (!module || !fill(module.get())) return nullptr;
  cached_ = Py_NewRef(module.get());
  return module.release();
}

}  // namespace zor::py
