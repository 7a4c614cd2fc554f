// Fast-call entry points of zor._native (search_py.cpp, shard_py.cpp), listed in its
// module table (native_module.cpp).
#pragma once

#include "cpython/common/ref.hpp"

namespace zor::py {

PyObject* search_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* evaluate_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* shard_open_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* shard_expand_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* shard_stop_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The module attribute OPERATORS: one (name, arity, text) tuple per operator,
// in code order, so that the zor package names, counts and prints operators
// as the core does. A new reference, or null with an error set.
PyObject* build_operator_table();

}  // namespace zor::py
