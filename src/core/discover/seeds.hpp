// Level one of the fast search: the seeds 0, 1 and one variable per column,
// their admission, their values and their scores.
#pragma once

#include <optional>
#include <vector>

#include "core/discover/expr.hpp"
#include "core/discover/fingerprint.hpp"
#include "core/discover/scaled_fit.hpp"
#include "core/discover/search.hpp"

namespace zor::discover {

// A level-one candidate that admission kept, in seed order.
struct Seed {
  Expr expression;
  ProbeValues probes;
};

// The seeds (0, 1, then one variable per column) with distinct probe values,
// the first of equal ones kept. The scaled search probes at rows of the data.
std::vector<Seed> admitted_seeds(const Columns& columns, const SearchOptions& options);

// The values of seed expression `seed` on every row, written to `out`.
void seed_values(const Expr& seed, const Columns& columns, double* out);

// The seed's score: the literal scoring's, or in the scaled search that of
// its affine fit (`targets` made from y); absent when it has none.
std::optional<ScoredCandidate> score_seed(const Expr& seed, const Columns& columns,
                                          const std::vector<double>& y, const SearchOptions& options,
                                          const TargetSummary& targets);

}  // namespace zor::discover
