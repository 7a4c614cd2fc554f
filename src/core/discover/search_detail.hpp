// Rules shared by the literal and the fast search: the operator lists, the
// best and front updates, the stop test, the rank order, the phase clock and
// the size of a piece of work, the check of the columns' dimensions.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

#include "core/discover/dimensions.hpp"
#include "core/discover/operators.hpp"
#include "core/discover/search.hpp"

namespace zor::discover::detail {

// The operators of the given arity that the search applies under `options`,
// in the order it applies them.
inline std::vector<OpCode> searched_operators(const SearchOptions& options, int arity_wanted) {
  std::vector<OpCode> ops;
  for (const SearchedOperator& entry : kSearchOrder) {
    const bool on = entry.use == SearchUse::Always ||
                    (entry.use == SearchUse::WithTrig && options.use_trig) ||
                    (entry.use == SearchUse::WithZor && options.use_zor) ||
                    (entry.use == SearchUse::WhenScaled && options.scaling);
    if (on && arity(entry.code) == arity_wanted) ops.push_back(entry.code);
  }
  return ops;
}

inline std::vector<OpCode> unary_operators(const SearchOptions& options) {
  return searched_operators(options, 1);
}

inline std::vector<OpCode> binary_operators(const SearchOptions& options) {
  return searched_operators(options, 2);
}

inline bool builds_both_orders(OpCode op) { return operator_info(op).both_orders; }

// A candidate with score `challenger` replaces a best with score `held`:
// strictly lower in an ordered comparison, so ties keep the earlier one and
// NaN never replaces nor is replaced.
inline bool replaces(double held, double challenger) { return held > challenger; }

// Scans `scored` in order and keeps the best.
inline void update_best(std::optional<ScoredCandidate>& best, const std::vector<ScoredCandidate>& scored) {
  const ScoredCandidate* current = best ? &*best : nullptr;
  const ScoredCandidate* winner = nullptr;
  for (const ScoredCandidate& candidate : scored) {
    if (current == nullptr || replaces(current->score, candidate.score)) {
      current = &candidate;
      winner = &candidate;
    }
  }
  if (winner != nullptr) best = *winner;
}

// Per complexity, the earliest candidate with the lowest score.
inline void update_front(std::vector<ScoredCandidate>& front, const std::vector<ScoredCandidate>& scored) {
  for (const ScoredCandidate& candidate : scored) {
    auto slot = std::lower_bound(front.begin(), front.end(), candidate.complexity,
                                 [](const ScoredCandidate& c, std::uint64_t k) { return c.complexity < k; });
    if (slot == front.end() || slot->complexity != candidate.complexity) {
      front.insert(slot, candidate);
    } else if (replaces(slot->score, candidate.score)) {
      *slot = candidate;
    }
  }
}

// Refuses dimensions given for another number of columns.
inline void require_dimensions_of(const Columns& columns, const SearchControl& control) {
  if (control.dimensions != nullptr && control.dimensions->columns() != columns.size())
    throw std::invalid_argument("dimensions must give one list of exponents per column");
}

inline bool reached_goal(const std::optional<ScoredCandidate>& best, const SearchOptions& options) {
  return best && options.precision_goal >= best->score;
}

// The order in which a level's scored candidates become parents: ascending
// score, NaN after every number, generation order among equals.
inline bool ranks_before(double score_a, std::uint64_t seq_a, double score_b, std::uint64_t seq_b) {
  const bool nan_a = std::isnan(score_a);
  const bool nan_b = std::isnan(score_b);
  if (nan_a != nan_b) return nan_b;
  if (score_a < score_b) return true;
  if (score_b < score_a) return false;
  return seq_a < seq_b;
}

// Adds the wall time since the last lap (or since it was made) to a phase.
class PhaseClock {
 public:
  void lap(double& phase) {
    const auto now = std::chrono::steady_clock::now();
    phase += std::chrono::duration<double>(now - last_).count();
    last_ = now;
  }

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// How many candidates of `rows` row evaluations each come to about
// `row_evaluations`, at least one: the size of a piece of work in rows.
inline std::size_t candidates_within(std::size_t row_evaluations, std::size_t rows) {
  return std::max<std::size_t>(1, row_evaluations / std::max<std::size_t>(rows, 1));
}

}  // namespace zor::discover::detail
