// The functions of zor._native, each a method table row made from its
// declaration next to its binding (search_py.cpp, shard_py.cpp, fit_py.cpp) and listed
// in the module table (native_module.cpp).
#pragma once

#include "cpython/common/ref.hpp"

namespace zor::py {

PyMethodDef search_function();
PyMethodDef evaluate_function();
PyMethodDef penalised_score_function();
PyMethodDef shard_open_function();
PyMethodDef shard_expand_function();
PyMethodDef shard_stop_function();
PyMethodDef fit_parameters_function();
PyMethodDef fit_parameters_batch_function();

}  // namespace zor::py
