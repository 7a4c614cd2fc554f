// Scaled scoring: a candidate f is judged by its best affine fit y ≈ a·f + b,
// found by least squares in closed form, so that the search finds the shape
// of a law and the fit supplies its constants. Every sum runs in sample
// order, so a fit depends on the data alone, never on the thread that ran it.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <tuple>
#include <vector>

#include "core/discover/fingerprint.hpp"

namespace zor::discover {

// A candidate whose spread on the data is at most this share of its largest
// magnitude is taken as constant: fitting a scale to it would only amplify
// rounding noise (exp(1e-12 * x), or 1e9 + x), so it gets the constant model.
inline constexpr double kConstantSpread = 1e-9;

// What every fit of one search needs of the targets.
struct TargetSummary {
  std::size_t compared = 0;      // samples that enter the error: min(rows, targets)
  double m = 0.0;                // number of targets, the error's divisor
  double mean = 0.0;             // mean of the compared targets
  std::vector<double> centered;  // compared targets minus their mean
  // The compared targets minus the first, and running sums of them and of
  // their squares (entry k: the first k samples), as AffineErrorBound adds
  // them: the same for every candidate, so worked out once.
  std::vector<double> shifted;
  std::vector<double> shifted_sum;
  std::vector<double> shifted_squares;

  TargetSummary() = default;
  TargetSummary(const std::vector<double>& y, std::size_t rows)
      : compared(std::min(rows, y.size())), m(static_cast<double>(y.size())) {
    double sum = 0.0;
    for (std::size_t i = 0; i < compared; ++i) sum += y[i];
    mean = compared > 0 ? sum / static_cast<double>(compared) : 0.0;
    centered.resize(compared);
    for (std::size_t i = 0; i < compared; ++i) centered[i] = y[i] - mean;
    shifted.resize(compared);
    shifted_sum.assign(compared + 1, 0.0);
    shifted_squares.assign(compared + 1, 0.0);
    for (std::size_t i = 0; i < compared; ++i) {
      shifted[i] = y[i] - y[0];
      shifted_sum[i + 1] = shifted_sum[i] + shifted[i];
      shifted_squares[i + 1] = shifted_squares[i] + shifted[i] * shifted[i];
    }
  }
};

// The size of a scaled model: the constant model is one token, a fitted
// a·f + b the tokens of f and its two constants.
inline std::uint64_t scaled_size(std::uint64_t tokens, bool constant) { return constant ? 1 : tokens + 2; }

struct AffineFit {
  double scale = 0.0;   // a; 0 for the constant model
  double offset = 0.0;  // b
  double sse = 0.0;     // sum of (a·v + b − y)² over the compared samples
  bool constant = false;
};

// The least-squares fit of y by a·v + b over the compared samples; v must be
// finite there. The constant model (a = 0, b = mean of y) stands for every
// candidate that is constant on the data, or nearly so (kConstantSpread).
// Absent when the fit overflows.
inline std::optional<AffineFit> fit_affine(const double* v, const double* y, const TargetSummary& targets) {
  const std::size_t n = targets.compared;
  AffineFit fit;
  double sum = 0.0;
  double largest = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    sum += v[i];
    largest = std::max(largest, std::fabs(v[i]));
  }
  const double mean = n > 0 ? sum / static_cast<double>(n) : 0.0;
  double svv = 0.0;
  double svy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double dv = v[i] - mean;
    svv += dv * dv;
    svy += dv * targets.centered[i];
  }
  if (!std::isfinite(svv) || !std::isfinite(svy) || !std::isfinite(mean)) return std::nullopt;
  const double spread_limit = kConstantSpread * largest;
  if (n == 0 || !(svv > spread_limit * spread_limit * static_cast<double>(n))) {
    fit.constant = true;
    fit.scale = 0.0;
    fit.offset = targets.mean;
  } else {
    fit.scale = svy / svv;
    fit.offset = targets.mean - fit.scale * mean;
  }
  if (!std::isfinite(fit.scale) || !std::isfinite(fit.offset)) return std::nullopt;
  double sse = -0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double diff = (fit.scale * v[i] + fit.offset) - y[i];
    sse += diff * diff;
  }
  fit.sse = sse;
  return fit;
}

// Running sums of the first k samples from which the smallest error any
// affine fit can reach on them follows in closed form. That minimum only
// grows as samples are added, so once it is too large the candidate's final
// scaled error is too: its scoring can stop. The sums are shifted by the
// first sample, which keeps an offset that dwarfs the spread from cancelling.
class AffineErrorBound {
 public:
  void add(double v, double y) {
    if (count_ == 0) start(v, y);
    const double dy = y - y0_;
    sy_ += dy;
    syy_ += dy * dy;
    add_value(v, dy);
  }

  // For a caller that holds the targets' shifted values and running sums
  // (TargetSummary): start with the first sample, then add only the values'
  // terms, and pass the targets' sums to min_sse. The result is add's, bit
  // for bit.
  void start(double v, double y) {
    v0_ = v;
    y0_ = y;
  }
  void add_value(double v, double dy) {
    const double dv = v - v0_;
    sv_ += dv;
    svv_ += dv * dv;
    svy_ += dv * dy;
    ++count_;
  }

  // A lower bound of min over a, b of the sum of (a·v + b − y)² so far. The
  // closed form is rounded, so the bound gives up a small share of itself
  // and of the targets' spread; it is 0 whenever it cannot be trusted.
  double min_sse() const { return min_sse(sy_, syy_); }
  double min_sse(double sy, double syy) const {
    if (count_ < 3) return 0.0;
    const double k = static_cast<double>(count_);
    const double cyy = syy - sy * sy / k;
    const double cvv = svv_ - sv_ * sv_ / k;
    const double cvy = svy_ - sv_ * sy / k;
    double explained = cvv > 0.0 ? cvy * cvy / cvv : 0.0;
    const double bound = cyy - explained - 1e-9 * (syy + cyy);
    return std::isfinite(bound) && bound > 0.0 ? bound * (1.0 - 1e-9) : 0.0;
  }

 private:
  std::size_t count_ = 0;
  double v0_ = 0.0, y0_ = 0.0;
  double sv_ = 0.0, sy_ = 0.0, svv_ = 0.0, svy_ = 0.0, syy_ = 0.0;
};

// A key shared by the affine copies of one shape (x, 2x, x + 1, 1 − x): the
// probe values rescaled onto [0, 1], oriented so that negation does not
// change them, and rounded to 20 bits so that copies whose values differ in
// the last bits still meet. Candidates nearly constant at the probes share
// key 0.
inline std::uint64_t affine_class(const ProbeValues& probes) {
  double lo = probes[0];
  double hi = probes[0];
  double largest = 0.0;
  for (double p : probes) {
    lo = std::min(lo, p);
    hi = std::max(hi, p);
    largest = std::max(largest, std::fabs(p));
  }
  const double range = hi - lo;
  if (!(range > kConstantSpread * largest)) return 0;
  constexpr double kSteps = 1 << 20;
  std::array<std::uint64_t, std::tuple_size_v<ProbeValues>> steps{};
  for (std::size_t j = 0; j < probes.size(); ++j)
    steps[j] = static_cast<std::uint64_t>(std::llround((probes[j] - lo) / range * kSteps));
  if (steps[0] > static_cast<std::uint64_t>(kSteps) / 2) {
    for (std::uint64_t& s : steps) s = static_cast<std::uint64_t>(kSteps) - s;
  }
  std::uint64_t key = 0x9E3779B97F4A7C15ull;
  for (std::uint64_t s : steps) key = mix64(key ^ s);
  return key | 1;  // never 0, which the near-constant class takes
}

// The probe points of the scaled search: five rows of the data itself, at
// a tenth, three tenths, ... of the way through it, each moved on to the
// next row that differs from those already taken. A formula that is defined
// on the data is then defined at its probes (ln(x − y) where x > y in every
// row), and variables keep the relations they have in the data instead of
// the fixed multiples (k + 1)·p, under which y − x and x + x alias x and y.
// Returns, per variable, its values at the five probes.
inline std::vector<ProbeValues> data_probe_rows(const std::vector<std::vector<double>>& columns) {
  std::vector<ProbeValues> per_variable(columns.size());
  const std::size_t rows = columns.empty() ? 0 : columns.front().size();
  if (rows == 0) return per_variable;
  auto same_row = [&](std::size_t a, std::size_t b) {
    for (const std::vector<double>& column : columns)
      if (std::bit_cast<std::uint64_t>(column[a]) != std::bit_cast<std::uint64_t>(column[b])) return false;
    return true;
  };
  std::vector<std::size_t> taken;
  constexpr std::size_t kProbes = std::tuple_size_v<ProbeValues>;
  for (std::size_t j = 0; j < kProbes; ++j) {
    const std::size_t start = (2 * j + 1) * rows / (2 * kProbes);
    std::size_t row = start;
    for (std::size_t step = 0; step < rows; ++step) {
      const std::size_t candidate = (start + step) % rows;
      if (std::none_of(taken.begin(), taken.end(), [&](std::size_t t) { return same_row(t, candidate); })) {
        row = candidate;
        break;
      }
    }
    taken.push_back(row);
    for (std::size_t k = 0; k < columns.size(); ++k) per_variable[k][j] = columns[k][row];
  }
  return per_variable;
}

}  // namespace zor::discover
