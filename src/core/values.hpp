// Native arithmetic of the tension value types: points of the (x, y) plane,
// complex-like pairs and knots. The classes and the batch kernels both call
// these, so a method and its batch form agree bit for bit.
#pragma once

#include <cmath>
#include <cstdint>

#include "core/numeric.hpp"

namespace zor {

struct Point {
  double x;
  double y;
};

struct Pair {
  double real;
  double imag;
};

inline double tension(Point p) { return zor(p.x, p.y); }

// (g(y), zor(x, y)) with g the frame-shift guard.
inline Point mirror_pulse(Point p) {
  double exp_term = safe_exp(p.x);
  double guarded = frame_guard(p.y);
  return {guarded, exp_term - std::log(guarded)};
}

// Like mirror_pulse, but floors every |y| (positive ones too) and maps NaN to
// the floor.
inline Point frame_shift(Point p) {
  double exp_term = safe_exp(p.x);
  double a = floor_at(std::fabs(p.y), kNearZero);
  return {a, exp_term - std::log(a)};
}

inline bool is_slipping(Point p) { return p.x > kExpLimit; }

inline bool conserves_tension(Point self, Point next, double tol) {
  double t = safe_exp(self.x);
  if (!std::isfinite(t)) return true;
  double l = safe_ln(next.y);
  double d = std::fabs(((t - l) + l) - t);
  return tol > d;
}

inline Pair canonical_pair(Point p) {
  double t = safe_exp(p.x);
  double l = safe_ln(p.y);
  return {t, l};
}

inline double euclidean_delta(Point p) {
  double t = safe_exp(p.x);
  double l = safe_ln(p.y);
  return std::sqrt(l * l + t * t);
}

inline double minkowski_delta(Point p, bool plus_signature, double c) {
  double t = safe_exp(p.x);
  double l = safe_ln(p.y);
  double k = c * l;
  return plus_signature ? std::sqrt(std::fabs(t * t - k * k)) : std::sqrt(std::fabs(k * k - t * t));
}

inline double clamp_nan_kept(double v, double lo, double hi) {
  if (v < lo) return lo;
  if (v > hi) return hi;
  return v;
}

// Lorentz boost with t = safe_exp(x) and X = safe_ln(y).
inline Point boost(Point p, double phi, double c) {
  double t = safe_exp(p.x);
  double space = safe_ln(p.y);
  double sh = std::sinh(phi);
  double ch = std::cosh(phi);
  double t_boosted = t * ch - (space / c) * sh;
  double space_boosted = space * ch - (c * t) * sh;
  return {std::log(floor_at(t_boosted, kNearZero)), std::exp(clamp_nan_kept(space_boosted, -709.0, 709.0))};
}

inline Pair rotate_phase(Pair p, double angle) {
  double s = std::sin(angle);
  double co = std::cos(angle);
  return {co * p.real - s * p.imag, co * p.imag + s * p.real};
}

inline Pair pair_add(Pair a, Pair b) { return {a.real + b.real, a.imag + b.imag}; }
inline Pair pair_sub(Pair a, Pair b) { return {a.real - b.real, a.imag - b.imag}; }
inline Pair pair_mul(Pair a, Pair b) {
  return {a.real * b.real - a.imag * b.imag, a.imag * b.real + a.real * b.imag};
}

inline Pair pair_div(Pair a, Pair b) {
  double den = b.imag * b.imag + b.real * b.real;
  if (std::fabs(den) < kNearZero) den = kNearZero;
  return {(a.real * b.real + a.imag * b.imag) / den, (a.imag * b.real - a.real * b.imag) / den};
}

inline bool pair_close(Pair a, Pair b) {
  constexpr double kTolerance = 1e-9;
  return std::fabs(a.real - b.real) < kTolerance && std::fabs(a.imag - b.imag) < kTolerance;
}

inline double pair_modulus(Pair p) { return std::sqrt(p.imag * p.imag + p.real * p.real); }
inline double pair_argument(Pair p) { return std::atan2(p.imag, p.real); }
inline Pair pair_conjugate(Pair p) { return {p.real, -p.imag}; }

inline Pair pair_from_polar(double r, double theta) {
  double co = std::cos(theta);
  double s = std::sin(theta);
  return {co * r, s * r};
}

struct Knot {
  Point point;
  std::int64_t flip_count;
  double phase;
};

inline constexpr double kHalfPi = 1.5707963267948966;
inline constexpr double kTwoPi = 6.283185307179586;

inline Knot make_knot(Point point, std::int64_t n, double theta) {
  return {point, n, std::fmod(theta, kTwoPi)};
}

inline Knot knot_pulse(const Knot& k) {
  // flip_count wraps modulo 2^64 like a two's-complement register.
  auto next_count = static_cast<std::int64_t>(static_cast<std::uint64_t>(k.flip_count) + 1u);
  return {mirror_pulse(k.point), next_count, std::fmod(k.phase + kHalfPi, kTwoPi)};
}

inline Knot knot_flip(const Knot& k) {
  Knot out = k;
  for (int step = 0; step < 4; ++step) out = knot_pulse(out);
  return out;
}

inline double knot_rho(const Knot& k) { return std::fabs(tension(k.point)); }

inline std::int64_t knot_tread_yield(const Knot& k) { return (k.flip_count / 4) * 2; }

}  // namespace zor
