// Fast-call entry points of zor_core's functions, defined next to their
// bindings and listed in the module table (module.cpp).
#pragma once

#include "cpython/common/ref.hpp"

namespace zor::py {

#define ZOR_DECLARE_ENTRY(name) PyObject* name(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)

// Batch kernels (kernels_py.cpp).
ZOR_DECLARE_ENTRY(schrodinger_step_n_entry);
ZOR_DECLARE_ENTRY(rotate_phase_n_entry);
ZOR_DECLARE_ENTRY(simulate_pulses_n_entry);
ZOR_DECLARE_ENTRY(boost_n_entry);
ZOR_DECLARE_ENTRY(exp_n_entry);
ZOR_DECLARE_ENTRY(ln_n_entry);
ZOR_DECLARE_ENTRY(add_n_entry);
ZOR_DECLARE_ENTRY(sub_n_entry);
ZOR_DECLARE_ENTRY(mul_n_entry);
ZOR_DECLARE_ENTRY(div_n_entry);
ZOR_DECLARE_ENTRY(sqrt_n_entry);
ZOR_DECLARE_ENTRY(sin_n_entry);
ZOR_DECLARE_ENTRY(cos_n_entry);
ZOR_DECLARE_ENTRY(tension_n_entry);
ZOR_DECLARE_ENTRY(pow_n_entry);
ZOR_DECLARE_ENTRY(christoffel_batch_n_entry);
ZOR_DECLARE_ENTRY(octonion_mul_n_entry);
ZOR_DECLARE_ENTRY(geometric_product_n_entry);

// Formula discovery (discover_py.cpp).
ZOR_DECLARE_ENTRY(find_formula_entry);

#undef ZOR_DECLARE_ENTRY

// The PySearchResult type object (discover_py.cpp); null with an error set
// when it cannot be created.
PyTypeObject* search_result_type();

}  // namespace zor::py
