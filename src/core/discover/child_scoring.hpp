// What the fast search computes of a child from its parents' stored values:
// its values at the probes and at the samples, and its error, plain or
// after the scaled search's affine fit, with early exits once the error
// proves the child useless.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>
#include <vector>

#include "core/discover/child_generator.hpp"
#include "core/discover/fingerprint.hpp"
#include "core/discover/operator_eval.hpp"
#include "core/discover/parent_store.hpp"
#include "core/discover/scaled_fit.hpp"
#include "core/pool.hpp"

namespace zor::discover::detail {

// The operator as applied to the terms the parents hand out for it: zor reads
// the precomputed exponential and logarithm terms and only subtracts them.
template <OpCode Op>
inline bool apply_to_terms(double a, double b, double& out) {
  if constexpr (Op == OpCode::Zor) {
    out = a - b;
    return true;
  } else {
    return apply_op<Op>(a, b, out);
  }
}

// Calls body(op tag, left operand terms, right operand terms) for the child;
// `pick(member, terms)` fetches a member's values or probe values.
template <class Pick, class Body>
inline bool with_operands(const Child& child, Pick&& pick, Body&& body) {
  if (child.op == OpCode::Zor) {
    return body(std::integral_constant<OpCode, OpCode::Zor>{}, pick(child.left, ParentStore::Terms::Exp),
                pick(child.right, ParentStore::Terms::Ln));
  }
  const auto a = pick(child.left, ParentStore::Terms::Value);
  const auto b = pick(right_operand(child), ParentStore::Terms::Value);
  return dispatch_op(child.op, false, [&](auto op) { return body(op, a, b); });
}

// The child's values at the probe points; false when it has no fingerprint.
inline bool child_probes(const ParentStore& parents, const Child& child, ProbeValues& out) {
  auto pick = [&](MemberIndex member, ParentStore::Terms terms) {
    return parents.probes(member, terms).data();
  };
  return with_operands(child, pick, [&](auto op, const double* a, const double* b) {
    for (std::size_t j = 0; j < out.size(); ++j) {
      if (!apply_to_terms<op.value>(a[j], b[j], out[j]) || !finite_value(out[j])) return false;
    }
    return true;
  });
}

// The child's value at every sample; false when it fails at one.
inline bool child_values(const ParentStore& parents, const Child& child, std::size_t rows, double* out) {
  auto pick = [&](MemberIndex member, ParentStore::Terms terms) { return parents.values(member, terms); };
  return with_operands(child, pick, [&](auto op, const double* a, const double* b) {
    for (std::size_t i = 0; i < rows; ++i) {
      if (!apply_to_terms<op.value>(a[i], b[i], out[i]) || !finite_value(out[i])) return false;
    }
    return true;
  });
}

// Adds children[0, count) as parents, in order, their tokens, probe values
// and values on every row built on the worker pool (a child reads only
// parents added before the call). Room for them must
// have been reserved.
inline void add_children(ParentStore& parents, const Child* children, std::size_t count, std::size_t rows) {
  const std::size_t first = parents.size();
  std::vector<Expr> exprs(count);
  std::vector<ProbeValues> probes(count);
  zor::pool::for_each_piece(count, 256, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t k = lo; k < hi; ++k) {
      child_probes(parents, children[k], probes[k]);
      exprs[k] = child_expr(parents, children[k]);
    }
  });
  for (std::size_t k = 0; k < count; ++k) parents.append(std::move(exprs[k]), probes[k]);
  constexpr std::size_t kRowsPerPiece = std::size_t{1} << 14;
  const std::size_t grain = std::max<std::size_t>(1, kRowsPerPiece / std::max<std::size_t>(rows, 1));
  zor::pool::for_each_piece(count, grain, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t k = lo; k < hi; ++k) {
      parents.fill_values(first + k, [&](double* out) { child_values(parents, children[k], rows, out); });
    }
  });
}

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

// The size of a scaled model: the constant model is one token, a fitted
// a·f + b the tokens of f and its two constants.
inline std::uint64_t scaled_size(std::uint64_t tokens, bool constant) { return constant ? 1 : tokens + 2; }

}  // namespace zor::discover::detail
