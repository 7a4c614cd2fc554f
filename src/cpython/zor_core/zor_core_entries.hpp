// The functions of zor_core, each a method table row made from its
// declaration next to its binding, and listed in the module table
// (module.cpp).
#pragma once

#include <span>

#include "cpython/common/ref.hpp"

namespace zor::py {

// The batch kernels in registration order (kernels_py.cpp).
std::span<PyMethodDef> kernel_functions();

// Formula discovery (discover_py.cpp).
PyMethodDef find_formula_function();

// The PySearchResult type object (discover_py.cpp); null with an error set
// when it cannot be created.
PyTypeObject* search_result_type();

}  // namespace zor::py
