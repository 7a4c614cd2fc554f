// A child's error over the samples, computed from its parents' stored
// values: plain, or after the scaled search's affine fit, with early exits
// once the error proves the child useless.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "core/discover/child_generator.hpp"
#include "core/discover/child_values.hpp"
#include "core/discover/parent_store.hpp"
#include "core/discover/scaled_fit.hpp"

namespace zor::discover::detail {

enum class Scoring : std::uint8_t { Scored, Failed, RuledOut };

// Rows between two checks of the partial error against the bound.
constexpr std::size_t kCheckRows = 16;

// Sum of squared errors over the first `compared` samples, accumulated in
// sample order from -0.0 as the literal scoring does. Failed when the child
// fails at any of the `rows` samples. RuledOut as soon as the penalised rmse
// of a partial sum exceeds `bound` (with a positive factor): the remaining
// squares can only raise the sum, and the square root, the division by m and
// the product with a positive factor never lower it, so its final score
// would exceed the bound too.
inline Scoring child_sse(const ParentStore& parents, const Child& child, std::size_t rows, const double* y,
                         std::size_t compared, double m, double factor, double bound, double& sse) {
  auto pick = [&](MemberIndex member, ParentStore::Terms terms) { return parents.values(member, terms); };
  if (!(factor > 0.0)) bound = std::numeric_limits<double>::infinity();
  auto over = [&](double sum) { return std::sqrt(sum / m) * factor > bound; };
  Scoring result = Scoring::Scored;
  with_operands(child, pick, [&](auto op, const double* a, const double* b) {
    double sum = -0.0;
    double v = 0.0;
    std::size_t i = 0;
    while (i < compared) {
      const std::size_t stop = std::min(compared, i + kCheckRows);
      for (; i < stop; ++i) {
        if (!apply_to_terms<op.value>(a[i], b[i], v) || !finite_value(v)) {
          result = Scoring::Failed;
          return false;
        }
        const double diff = v - y[i];
        sum += diff * diff;
      }
      if (over(sum)) {
        result = Scoring::RuledOut;
        return false;
      }
    }
    for (; i < rows; ++i) {
      if (!apply_to_terms<op.value>(a[i], b[i], v) || !finite_value(v)) {
        result = Scoring::Failed;
        return false;
      }
    }
    sse = sum;
    return true;
  });
  return result;
}

// The scaled search's scoring of a child: its values at every sample (into
// `values`), the unscaled sum of squared errors and the affine fit. Failed
// when the child fails at a sample or its fit overflows. RuledOut when both
// partial errors prove it useless: the unscaled sum exceeds
// `unscaled_bound` (as in child_sse) and the least error any affine fit can
// reach on the samples so far (AffineErrorBound) exceeds `scaled_bound`.
inline Scoring child_scaled(const ParentStore& parents, const Child& child, std::size_t rows, const double* y,
                            const TargetSummary& targets, double unscaled_factor, double unscaled_bound,
                            double scaled_factor, double scaled_bound, double* values, double& unscaled_sse,
                            AffineFit& fit) {
  auto pick = [&](MemberIndex member, ParentStore::Terms terms) { return parents.values(member, terms); };
  if (!(unscaled_factor > 0.0)) unscaled_bound = std::numeric_limits<double>::infinity();
  if (!(scaled_factor > 0.0)) scaled_bound = std::numeric_limits<double>::infinity();
  const double m = targets.m;
  const std::size_t compared = targets.compared;
  Scoring result = Scoring::Scored;
  const bool ok = with_operands(child, pick, [&](auto op, const double* a, const double* b) {
    double sum = -0.0;
    AffineErrorBound least;
    std::size_t i = 0;
    while (i < compared) {
      const std::size_t stop = std::min(compared, i + kCheckRows);
      for (; i < stop; ++i) {
        double& v = values[i];
        if (!apply_to_terms<op.value>(a[i], b[i], v) || !finite_value(v)) return false;
        const double diff = v - y[i];
        sum += diff * diff;
        if (i == 0) least.start(v, y[0]);
        least.add_value(v, targets.shifted[i]);
      }
      if (std::sqrt(sum / m) * unscaled_factor > unscaled_bound &&
          std::sqrt(least.min_sse(targets.shifted_sum[i], targets.shifted_squares[i]) / m) * scaled_factor >
              scaled_bound) {
        result = Scoring::RuledOut;
        return true;
      }
    }
    for (; i < rows; ++i) {
      if (!apply_to_terms<op.value>(a[i], b[i], values[i]) || !finite_value(values[i])) return false;
    }
    unscaled_sse = sum;
    return true;
  });
  if (!ok) return Scoring::Failed;
  if (result == Scoring::RuledOut) return result;
  const std::optional<AffineFit> fitted = fit_affine(values, y, targets);
  if (!fitted) return Scoring::Failed;
  fit = *fitted;
  return Scoring::Scored;
}

}  // namespace zor::discover::detail
