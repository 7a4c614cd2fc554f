// A fast-search level's scored child as the level's folds keep it: the
// (operator, left, right) triple with its score, until it is materialized
// with tokens and text.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "core/discover/child_generator.hpp"
#include "core/discover/parent_store.hpp"
#include "core/discover/render.hpp"
#include "core/discover/search.hpp"
#include "core/discover/search_detail.hpp"

namespace zor::discover::detail {

// A scored child; `seq` is its place in the level's generation order. The
// scaled search also keeps the fitted constants, the score the child has
// without them, the affine class of its shape and the model's size.
struct Ranked {
  double score;
  double rmse;
  std::uint64_t seq;
  Child child;
  double unscaled_score = 0.0;
  double scale = 1.0;
  double offset = 0.0;
  std::uint64_t shape = 0;
  std::uint64_t size = 0;  // 0: the token count
};

// A score above which nothing replaces a holder of `held`: a NaN is never
// replaced.
inline double score_bound(double held) {
  return std::isnan(held) ? -std::numeric_limits<double>::infinity() : held;
}

// The scored candidate with its tokens and text built.
inline ScoredCandidate materialize(const ParentStore& parents, const Ranked& ranked) {
  ScoredCandidate scored;
  scored.expression = child_expr(parents, ranked.child);
  scored.formula = render_formula(scored.expression);
  scored.score = ranked.score;
  scored.rmse = ranked.rmse;
  scored.complexity = ranked.size != 0 ? ranked.size : scored.expression.tokens.size();
  scored.scale = ranked.scale;
  scored.offset = ranked.offset;
  return scored;
}

}  // namespace zor::discover::detail
