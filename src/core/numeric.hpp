// The zor operator and its two guards. Every part of the module that computes
// zor, or one of its halves, goes through these definitions so that all of
// them agree bit for bit.
#pragma once

#include <cmath>

namespace zor {

inline constexpr double kExpLimit = 709.78;
// Magnitudes below this count as zero: the guards raise a smaller logarithm
// argument or divisor to it, or refuse it.
inline constexpr double kNearZero = 1e-300;

// exp that never overflows for a finite argument: above the limit the
// argument is folded through its own logarithm first.
inline double safe_exp(double x) { return x > kExpLimit ? std::exp(std::log(x)) : std::exp(x); }

// Moves a non-positive y into the logarithm's domain; positive values and NaN
// are kept exactly as they are.
inline double frame_guard(double y) {
  if (y > 0.0 || std::isnan(y)) return y;
  double magnitude = std::fabs(y);
  return magnitude > kNearZero ? magnitude : kNearZero;
}

inline double safe_ln(double y) { return std::log(frame_guard(y)); }

// zor(x, y) = exp(x) - ln(y): exponential term first, then the logarithm.
inline double zor(double x, double y) {
  double exp_term = safe_exp(x);
  double ln_term = safe_ln(y);
  return exp_term - ln_term;
}

// max(v, floor) where a NaN v yields the floor.
inline double floor_at(double v, double floor) { return v > floor ? v : floor; }

}  // namespace zor
