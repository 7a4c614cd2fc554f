// Batch kernels over native arrays. The element-wise, relativity and octonion
// kernels run on the shared pool; the pair and simulation kernels are plain
// loops on the calling thread. Every two-input kernel yields as many results
// as its shorter input has items; the rest of the longer input is ignored.
//
// "Two doubles" travel as zor::Pair in both directions: for the point inputs
// and outputs of boost_n and christoffel_batch_n, .real holds x and .imag
// holds y.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "core/values.hpp"

namespace zor::kernels {

using Octet = std::array<double, 8>;
using Triple = std::array<double, 3>;

// One input each: safe_exp, safe_ln, sqrt(|x|), sin, cos.
std::vector<double> exp_n(std::span<const double> xs);
std::vector<double> ln_n(std::span<const double> ys);
std::vector<double> sqrt_n(std::span<const double> xs);
std::vector<double> sin_n(std::span<const double> xs);
std::vector<double> cos_n(std::span<const double> xs);

// Two inputs, element by element.
std::vector<double> add_n(std::span<const double> as, std::span<const double> bs);
std::vector<double> sub_n(std::span<const double> as, std::span<const double> bs);
std::vector<double> mul_n(std::span<const double> as, std::span<const double> bs);
// A divisor with |b| < 1e-300 gives the positive quiet NaN 0x7FF8000000000000.
std::vector<double> div_n(std::span<const double> as, std::span<const double> bs);
// zor(x, y) per element.
std::vector<double> tension_n(std::span<const double> xs, std::span<const double> ys);
// pow(|base|, exp).
std::vector<double> pow_n(std::span<const double> bases, std::span<const double> exps);

// Lorentz boost of each point (x, y) by its rapidity with speed constant c.
std::vector<Pair> boost_n(std::span<const Pair> points, std::span<const double> phis, double c);

// The Schwarzschild Christoffel symbol Γ^lam_{mu nu} (0 = t, 1 = r) at the
// radius safe_exp(x) of each point, lifted to at least rs + 1e-9. The y of
// each point is ignored.
std::vector<double> christoffel_batch_n(std::span<const Pair> points, std::uint64_t lam, std::uint64_t mu,
                                        std::uint64_t nu, double rs);

// Octonion products a[i] * b[i] (a on the left); coefficient 0 is the real part.
std::vector<Octet> octonion_mul_n(std::span<const Octet> as, std::span<const Octet> bs);

// Calling-thread loops.
std::vector<Pair> rotate_phase_n(std::span<const Pair> pairs, std::span<const double> angles);
// psi[i] rotated by ((-v[i]) * dt) / hbar.
std::vector<Pair> schrodinger_step_n(std::span<const Pair> psi, std::span<const double> v, double dt,
                                     double hbar);
// (x, y, tension) of the start point and of each of n_pulses mirror pulses.
// Throws std::bad_alloc at once when the n_pulses + 1 entries cannot be held.
std::vector<Triple> simulate_pulses_n(double x0, double y0, std::uint64_t n_pulses);

}  // namespace zor::kernels
