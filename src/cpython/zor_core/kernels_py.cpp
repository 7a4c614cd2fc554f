// Bindings of the batch kernels: each converts its arguments, runs the native
// kernel and builds the result list.
#include <cstdint>
#include <vector>

#include "core/kernels.hpp"
#include "core/memory.hpp"
#include "core/multivector.hpp"
#include "cpython/common/build_results.hpp"
#include "cpython/common/function.hpp"
#include "cpython/zor_core/zor_core_entries.hpp"

namespace zor::py {
namespace {

using FloatList = std::vector<double>;
using PairList = std::vector<Pair>;

template <std::vector<double> (*Kernel)(std::span<const double>)>
PyObject* unary(FloatList xs) {
  return build_float_list(Kernel(xs));
}

template <std::vector<double> (*Kernel)(std::span<const double>, std::span<const double>)>
PyObject* binary(FloatList as, FloatList bs) {
  return build_float_list(Kernel(as, bs));
}

PyObject* boost(PairList points, FloatList phis, double c) {
  return build_pair_list(kernels::boost_n(points, phis, c));
}

PyObject* christoffel(PairList points, std::uint64_t lam, std::uint64_t mu, std::uint64_t nu, double rs) {
  return build_float_list(kernels::christoffel_batch_n(points, lam, mu, nu, rs));
}

PyObject* octonion_mul(std::vector<Octet> a_batch, std::vector<Octet> b_batch) {
  return build_octet_list(kernels::octonion_mul_n(a_batch, b_batch));
}

PyObject* geometric_product(std::vector<FloatList> a_batch, std::vector<FloatList> b_batch,
                            std::vector<std::int8_t> signature) {
  return build_float_lists(geometric_product_n(a_batch, b_batch, signature));
}

PyObject* rotate_phase(PairList pairs, FloatList angles) {
  return build_pair_list(kernels::rotate_phase_n(pairs, angles));
}

PyObject* schrodinger_step(PairList psi, FloatList v, double dt, double hbar) {
  return build_pair_list(kernels::schrodinger_step_n(psi, v, dt, hbar));
}

// Rough size of one (x, y, tension) entry once it is a Python tuple of three
// floats, including its list slot.
constexpr std::size_t kPythonTripleBytes = 64 + 3 * 24 + 8;

PyObject* simulate_pulses(double x0, double y0, std::uint64_t n_pulses) {
  // Refuse at once what the interpreter could never hold, before any work.
  if (n_pulses == UINT64_MAX || !result_fits_in_memory(n_pulses + 1, kPythonTripleBytes))
    return PyErr_NoMemory();
  return build_triple_list(kernels::simulate_pulses_n(x0, y0, n_pulses));
}

constexpr Signature kSchrodinger{"schrodinger_step_n", {"psi", "v", "dt", "hbar"}};
constexpr Signature kRotatePhase{"rotate_phase_n", {"pairs", "angles"}};
constexpr Signature kSimulatePulses{"simulate_pulses_n", {"x0", "y0", "n_pulses"}};
constexpr Signature kBoost{"boost_n", {"points", "phis", "c"}};
constexpr Signature kExp{"exp_n", {"xs"}};
constexpr Signature kLn{"ln_n", {"ys"}};
constexpr Signature kAdd{"add_n", {"as_", "bs"}};
constexpr Signature kSub{"sub_n", {"as_", "bs"}};
constexpr Signature kMul{"mul_n", {"as_", "bs"}};
constexpr Signature kDiv{"div_n", {"as_", "bs"}};
constexpr Signature kSqrt{"sqrt_n", {"xs"}};
constexpr Signature kSin{"sin_n", {"xs"}};
constexpr Signature kCos{"cos_n", {"xs"}};
constexpr Signature kTension{"tension_n", {"xs", "ys"}};
constexpr Signature kPow{"pow_n", {"bases", "exps"}};
constexpr Signature kChristoffel{"christoffel_batch_n", {"points", "lam", "mu", "nu", "rs"}};
constexpr Signature kOctonion{"octonion_mul_n", {"a_batch", "b_batch"}};
constexpr Signature kGeometric{"geometric_product_n", {"a_batch", "b_batch", "signature"}};

}  // namespace

#define ZOR_DEFINE_ENTRY(name, sig, impl)                                                              \
  PyObject* name##_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
    return module_function<sig, impl>(self, args, nargs, kwnames);                                     \
  }

ZOR_DEFINE_ENTRY(schrodinger_step_n, kSchrodinger, schrodinger_step)
ZOR_DEFINE_ENTRY(rotate_phase_n, kRotatePhase, rotate_phase)
ZOR_DEFINE_ENTRY(simulate_pulses_n, kSimulatePulses, simulate_pulses)
ZOR_DEFINE_ENTRY(boost_n, kBoost, boost)
ZOR_DEFINE_ENTRY(exp_n, kExp, unary<kernels::exp_n>)
ZOR_DEFINE_ENTRY(ln_n, kLn, unary<kernels::ln_n>)
ZOR_DEFINE_ENTRY(add_n, kAdd, binary<kernels::add_n>)
ZOR_DEFINE_ENTRY(sub_n, kSub, binary<kernels::sub_n>)
ZOR_DEFINE_ENTRY(mul_n, kMul, binary<kernels::mul_n>)
ZOR_DEFINE_ENTRY(div_n, kDiv, binary<kernels::div_n>)
ZOR_DEFINE_ENTRY(sqrt_n, kSqrt, unary<kernels::sqrt_n>)
ZOR_DEFINE_ENTRY(sin_n, kSin, unary<kernels::sin_n>)
ZOR_DEFINE_ENTRY(cos_n, kCos, unary<kernels::cos_n>)
ZOR_DEFINE_ENTRY(tension_n, kTension, binary<kernels::tension_n>)
ZOR_DEFINE_ENTRY(pow_n, kPow, binary<kernels::pow_n>)
ZOR_DEFINE_ENTRY(christoffel_batch_n, kChristoffel, christoffel)
ZOR_DEFINE_ENTRY(octonion_mul_n, kOctonion, octonion_mul)
ZOR_DEFINE_ENTRY(geometric_product_n, kGeometric, geometric_product)

#undef ZOR_DEFINE_ENTRY

}  // namespace zor::py
