// What the fast search computes of a child from its parents' stored values:
// its values at the probe points (its fingerprint) and at every sample, and
// the parents a level's chosen children become.
#pragma once

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <vector>

#include "core/discover/child_generator.hpp"
#include "core/discover/fingerprint.hpp"
#include "core/discover/operator_eval.hpp"
#include "core/discover/parent_store.hpp"
#include "core/discover/search_detail.hpp"
#include "core/pool.hpp"

namespace zor::discover::detail {

// Row evaluations below which a piece of the fast search's work on the
// worker pool (scoring children, building parents) is not split.
inline constexpr std::size_t kRowsPerPoolPiece = std::size_t{1} << 14;

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
// parents added before the call). Room for them must have been reserved.
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
  zor::pool::for_each_piece(
      count, candidates_within(kRowsPerPoolPiece, rows), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t k = lo; k < hi; ++k) {
          parents.fill_values(first + k, [&](double* out) { child_values(parents, children[k], rows, out); });
        }
      });
}

}  // namespace zor::discover::detail
