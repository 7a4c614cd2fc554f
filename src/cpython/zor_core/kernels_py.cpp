// Bindings of the batch kernels: each converts its arguments, runs the native
// kernel and builds the result list.
#include <cstdint>
#include <span>
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

constexpr Signature kSchrodinger{"schrodinger_step_n",
                                 {"psi", "v", "dt", "hbar"},
                                 "Batch Schr\u00f6dinger potential-phase step: \u03c8_n \u2192 "
                                 "e^{-iV_n\u00b7dt/\u0127}\u00b7\u03c8_n for all n.\n"
                                 "Returns list of (real, imag) tuples."};
constexpr Signature kRotatePhase{
    "rotate_phase_n", {"pairs", "angles"}, "Batch rotate_phase for a list of ZORPairs."};
constexpr Signature kSimulatePulses{"simulate_pulses_n",
                                    {"x0", "y0", "n_pulses"},
                                    "Simulate n_pulses of mirror_pulse, returning (x, y, tension) per step."};
constexpr Signature kBoost{
    "boost_n",
    {"points", "phis", "c"},
    "Batch Lorentz boost: apply boost(phi_i, c) to each (x_i, y_i) point in parallel.\n"
    "Returns Vec of (x', y') tuples."};
constexpr Signature kExp{"exp_n", {"xs"}, "Batch exp: [exp(x) for x in xs] \u2014 Rayon parallel."};
constexpr Signature kLn{
    "ln_n", {"ys"}, "Batch ln: [ln(y) for y in ys] \u2014 Rayon parallel, frame-shift guard applied."};
constexpr Signature kAdd{
    "add_n", {"as_", "bs"}, "Batch add: [a + b for (a, b) in zip(as_, bs)] \u2014 Rayon parallel."};
constexpr Signature kSub{
    "sub_n", {"as_", "bs"}, "Batch sub: [a - b for (a, b) in zip(as_, bs)] \u2014 Rayon parallel."};
constexpr Signature kMul{
    "mul_n", {"as_", "bs"}, "Batch mul: [a * b for (a, b) in zip(as_, bs)] \u2014 Rayon parallel."};
constexpr Signature kDiv{
    "div_n", {"as_", "bs"}, "Batch div: [a / b] \u2014 NaN for |b| < 1e-300 \u2014 Rayon parallel."};
constexpr Signature kSqrt{"sqrt_n", {"xs"}, "Batch sqrt: [sqrt(|x|) for x in xs] \u2014 Rayon parallel."};
constexpr Signature kSin{"sin_n", {"xs"}, "Batch sin: [sin(x) for x in xs] \u2014 Rayon parallel."};
constexpr Signature kCos{"cos_n", {"xs"}, "Batch cos: [cos(x) for x in xs] \u2014 Rayon parallel."};
constexpr Signature kTension{
    "tension_n",
    {"xs", "ys"},
    "Batch zor_tension: [zor(x, y) for (x, y) in zip(xs, ys)] \u2014 Rayon parallel."};
constexpr Signature kPow{
    "pow_n",
    {"bases", "exps"},
    "Batch pow: [|base|^exp for (base, exp) in zip(bases, exps)] \u2014 Rayon parallel."};
constexpr Signature kChristoffel{"christoffel_batch_n",
                                 {"points", "lam", "mu", "nu", "rs"},
                                 "Batch Schwarzschild Christoffel evaluation.\n"
                                 "points: Vec of (x, _) where r = exp(x).\n"
                                 "Returns Vec of \u0393^lam_{mu nu} values for each point."};
constexpr Signature kOctonion{"octonion_mul_n",
                              {"a_batch", "b_batch"},
                              "Batch octonion multiplication (Rayon parallel).\n"
                              "a_batch, b_batch: each is a Vec of 8-element float lists.\n"
                              "Returns Vec of 8-element results."};
constexpr Signature kGeometric{"geometric_product_n",
                               {"a_batch", "b_batch", "signature"},
                               "Batch geometric product (Rayon parallel).\n"
                               "a_batch, b_batch: each is a Vec of flat coefficient arrays.\n"
                               "signature: +1/-1 per basis vector (length n, algebra dimension = 2^n).\n"
                               "Returns Vec of result coefficient arrays."};

// In registration order.
PyMethodDef kernel_table[] = {
    function_def<kSchrodinger, schrodinger_step>(),   function_def<kRotatePhase, rotate_phase>(),
    function_def<kSimulatePulses, simulate_pulses>(), function_def<kBoost, boost>(),
    function_def<kExp, unary<kernels::exp_n>>(),      function_def<kLn, unary<kernels::ln_n>>(),
    function_def<kAdd, binary<kernels::add_n>>(),     function_def<kSub, binary<kernels::sub_n>>(),
    function_def<kMul, binary<kernels::mul_n>>(),     function_def<kDiv, binary<kernels::div_n>>(),
    function_def<kSqrt, unary<kernels::sqrt_n>>(),    function_def<kSin, unary<kernels::sin_n>>(),
    function_def<kCos, unary<kernels::cos_n>>(),      function_def<kTension, binary<kernels::tension_n>>(),
    function_def<kPow, binary<kernels::pow_n>>(),     function_def<kChristoffel, christoffel>(),
    function_def<kOctonion, octonion_mul>(),          function_def<kGeometric, geometric_product>(),
};

}  // namespace

std::span<PyMethodDef> kernel_functions() { return kernel_table; }

}  // namespace zor::py
