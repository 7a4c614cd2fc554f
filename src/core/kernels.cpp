#include "core/kernels.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>

#include "core/memory.hpp"
#include "core/numeric.hpp"
#include "core/pool.hpp"

namespace zor::kernels {
namespace {

template <class F>
std::vector<double> map_one(std::span<const double> xs, F f) {
  return pool::parallel_map<double>(xs.size(), [&](std::size_t i) { return f(xs[i]); });
}

template <class F>
std::vector<double> map_two(std::span<const double> as, std::span<const double> bs, F f) {
  std::size_t n = std::min(as.size(), bs.size());
  return pool::parallel_map<double>(n, [&](std::size_t i) { return f(as[i], bs[i]); });
}

constexpr double kHorizonMargin = 1e-9;

// max(r, floor) where a NaN on either side yields the other one.
double lift_radius(double r, double floor) {
  if (std::isnan(r)) return floor;
  if (std::isnan(floor)) return r;
  return floor > r ? floor : r;
}

double christoffel(double x, std::uint64_t lam, std::uint64_t mu, std::uint64_t nu, double rs) {
  double r = lift_radius(safe_exp(x), rs + kHorizonMargin);
  if (r <= 0.0 || rs >= r) return 0.0;
  bool time_radial = (mu == 0 && nu == 1) || (mu == 1 && nu == 0);
  if (lam == 0 && time_radial) return rs / ((r - rs) * (r + r));
  if (lam == 1 && mu == 0 && nu == 0) return (1.0 - rs / r) * rs / ((r + r) * r);
  if (lam == 1 && mu == 1 && nu == 1) return (-rs) / ((r - rs) * (r + r));
  return 0.0;
}

struct OctonionUnit {
  double sign;
  int index;
};

// kOctonionTable[i][j] = e_i * e_j, with e_0 = 1.
constexpr OctonionUnit kOctonionTable[8][8] = {
    {{1, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}, {1, 7}},
    {{1, 1}, {-1, 0}, {1, 4}, {1, 7}, {-1, 2}, {1, 6}, {-1, 5}, {-1, 3}},
    {{1, 2}, {-1, 4}, {-1, 0}, {1, 5}, {1, 1}, {-1, 3}, {1, 7}, {-1, 6}},
    {{1, 3}, {-1, 7}, {-1, 5}, {-1, 0}, {1, 6}, {1, 2}, {-1, 4}, {1, 1}},
    {{1, 4}, {1, 2}, {-1, 1}, {-1, 6}, {-1, 0}, {1, 7}, {1, 3}, {-1, 5}},
    {{1, 5}, {-1, 6}, {1, 3}, {-1, 2}, {-1, 7}, {-1, 0}, {1, 1}, {1, 4}},
    {{1, 6}, {1, 5}, {-1, 7}, {1, 4}, {-1, 3}, {-1, 1}, {-1, 0}, {1, 2}},
    {{1, 7}, {1, 3}, {1, 6}, {-1, 1}, {1, 5}, {-1, 4}, {-1, 2}, {-1, 0}},
};

// Zero coefficients are skipped on both sides, so 0 * inf never makes a NaN.
Octet octonion_mul(const Octet& a, const Octet& b) {
  Octet out{};
  for (int i = 0; i < 8; ++i) {
    if (a[i] == 0.0) continue;
    for (int j = 0; j < 8; ++j) {
      if (b[j] == 0.0) continue;
      const OctonionUnit& unit = kOctonionTable[i][j];
      out[unit.index] = (unit.sign * a[i]) * b[j] + out[unit.index];
    }
  }
  return out;
}

}  // namespace

std::vector<double> exp_n(std::span<const double> xs) {
  return map_one(xs, [](double x) { return safe_exp(x); });
}

std::vector<double> ln_n(std::span<const double> ys) {
  return map_one(ys, [](double y) { return safe_ln(y); });
}

std::vector<double> sqrt_n(std::span<const double> xs) {
  return map_one(xs, [](double x) { return std::sqrt(std::fabs(x)); });
}

std::vector<double> sin_n(std::span<const double> xs) {
  return map_one(xs, [](double x) { return std::sin(x); });
}

std::vector<double> cos_n(std::span<const double> xs) {
  return map_one(xs, [](double x) { return std::cos(x); });
}

std::vector<double> add_n(std::span<const double> as, std::span<const double> bs) {
  return map_two(as, bs, [](double a, double b) { return a + b; });
}

std::vector<double> sub_n(std::span<const double> as, std::span<const double> bs) {
  return map_two(as, bs, [](double a, double b) { return a - b; });
}

std::vector<double> mul_n(std::span<const double> as, std::span<const double> bs) {
  return map_two(as, bs, [](double a, double b) { return a * b; });
}

std::vector<double> div_n(std::span<const double> as, std::span<const double> bs) {
  constexpr double kQuietNan = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
  return map_two(as, bs, [](double a, double b) { return std::fabs(b) < kNearZero ? kQuietNan : a / b; });
}

std::vector<double> tension_n(std::span<const double> xs, std::span<const double> ys) {
  return map_two(xs, ys, [](double x, double y) { return zor(x, y); });
}

std::vector<double> pow_n(std::span<const double> bases, std::span<const double> exps) {
  return map_two(bases, exps, [](double base, double e) { return std::pow(std::fabs(base), e); });
}

std::vector<Pair> boost_n(std::span<const Pair> points, std::span<const double> phis, double c) {
  std::size_t n = std::min(points.size(), phis.size());
  return pool::parallel_map<Pair>(n, [&](std::size_t i) {
    Point boosted = boost(Point{points[i].real, points[i].imag}, phis[i], c);
    return Pair{boosted.x, boosted.y};
  });
}

std::vector<double> christoffel_batch_n(std::span<const Pair> points, std::uint64_t lam, std::uint64_t mu,
                                        std::uint64_t nu, double rs) {
  return pool::parallel_map<double>(
      points.size(), [&](std::size_t i) { return christoffel(points[i].real, lam, mu, nu, rs); });
}

std::vector<Octet> octonion_mul_n(std::span<const Octet> as, std::span<const Octet> bs) {
  std::size_t n = std::min(as.size(), bs.size());
  return pool::parallel_map<Octet>(n, [&](std::size_t i) { return octonion_mul(as[i], bs[i]); });
}

std::vector<Pair> rotate_phase_n(std::span<const Pair> pairs, std::span<const double> angles) {
  std::size_t n = std::min(pairs.size(), angles.size());
  std::vector<Pair> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(rotate_phase(pairs[i], angles[i]));
  return out;
}

std::vector<Pair> schrodinger_step_n(std::span<const Pair> psi, std::span<const double> v, double dt,
                                     double hbar) {
  std::size_t n = std::min(psi.size(), v.size());
  std::vector<Pair> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    double theta = ((-v[i]) * dt) / hbar;
    out.push_back(rotate_phase(psi[i], theta));
  }
  return out;
}

std::vector<Triple> simulate_pulses_n(double x0, double y0, std::uint64_t n_pulses) {
  std::vector<Triple> out;
  // n_pulses + 1 entries; refuse before looping rather than wrap or thrash.
  if (n_pulses >= out.max_size() || !result_fits_in_memory(n_pulses + 1, sizeof(Triple)))
    throw std::bad_alloc();
  out.reserve(static_cast<std::size_t>(n_pulses) + 1);
  Point p{x0, y0};
  out.push_back({p.x, p.y, zor(p.x, p.y)});
  for (std::uint64_t step = 0; step < n_pulses; ++step) {
    p = mirror_pulse(p);
    out.push_back({p.x, p.y, zor(p.x, p.y)});
  }
  return out;
}

}  // namespace zor::kernels
