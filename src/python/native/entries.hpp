// Fast-call entry points of zor._native (search_py.cpp), listed in its
// module table (native_module.cpp).
#pragma once

#include "python/ref.hpp"

namespace zor::py {

PyObject* search_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* evaluate_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace zor::py
