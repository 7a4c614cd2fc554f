// The one fold of a fast-search level's scored children into what the level
// keeps: the best so far, the front (with keep_front) and the next level's
// parents. Each shard search folds its own children as it scores them; the
// coordinator folds the parts' candidates, merged in generation order. Both
// offer children in generation order, so ties keep the earliest.
//
// A NaN score is never replaced: merged parts choose as the whole level as
// long as NaN scores do not mix with numbers among a level's children of one
// complexity. A NaN target makes every score NaN; the one other source is an
// infinite error times a penalty factor of exactly 0 (a complexity_penalty
// of -1/size), where a NaN that takes an empty front slot first in its part
// could keep out a later child the whole level would have chosen.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "core/discover/front.hpp"
#include "core/discover/next_parents.hpp"
#include "core/discover/ranked_children.hpp"
#include "core/discover/search.hpp"
#include "core/discover/search_detail.hpp"

namespace zor::discover::detail {

class LevelFold {
 public:
  // `best_score` and `front`: what the earlier levels hold.
  LevelFold(const SearchOptions& options, bool keep_front, std::optional<double> best_score = std::nullopt,
            Front front = Front())
      : parent_limit_(options.beam_width / 4),
        scaled_(options.scaling),
        keep_front_(keep_front),
        best_score_(best_score),
        front_(std::move(front)),
        next_parents_(parent_limit_, scaled_) {}

  // `front_size`: the child's complexity on the front (its model's size in
  // the scaled search).
  void offer(const Ranked& ranked, std::uint64_t front_size) {
    if (!best_score_ || replaces(*best_score_, ranked.score)) {
      best_score_ = ranked.score;
      best_ = ranked;
    }
    if (keep_front_) front_.offer(front_size, ranked);
    next_parents_.offer(ranked);
  }

  // Level one's scored seeds, which become parents whatever their score:
  // they update `best` (the search's) and the front only.
  void offer_seeds(const std::vector<ScoredCandidate>& scored, std::optional<ScoredCandidate>& best) {
    update_best(best, scored);
    if (best) best_score_ = best->score;
    if (keep_front_) {
      for (const ScoredCandidate& s : scored) front_.offer(s);
    }
  }

  // A score above which a child can become neither the best nor a parent.
  double bound() const {
    const double best = best_score_ ? score_bound(*best_score_) : std::numeric_limits<double>::infinity();
    return std::max(best, next_parents_.bound());
  }
  // `level_bound` (bound()) widened, with the front, to what a child of
  // complexity `front_size` needs to enter it.
  double child_bound(double level_bound, std::uint64_t front_size) const {
    return keep_front_ ? std::max(level_bound, front_.bound(front_size)) : level_bound;
  }
  // In the scaled search, an unscaled score above which a child cannot
  // become a parent by that score.
  double unscaled_bound() const { return next_parents_.unscaled_bound(); }
  std::uint64_t bytes() const { return next_parents_.bytes(); }

  const std::optional<double>& best_score() const { return best_score_; }
  Front& front() { return front_; }
  const Front& front() const { return front_; }

  // The best child of this level when it beats the earlier levels', once.
  std::optional<Ranked> take_best() { return std::exchange(best_, std::nullopt); }

  // The next level's parents in rank order; the fold starts afresh on them.
  std::vector<Ranked> take_parents() {
    return std::exchange(next_parents_, NextParents(parent_limit_, scaled_)).take_in_order();
  }

  // Every child that may be the level's best, a front entry or a parent, in
  // generation order, each once: a shard search's part of the level.
  std::vector<Ranked> candidates() {
    std::vector<Ranked> kept = next_parents_.held();
    if (keep_front_) front_.append_pending(kept);
    if (best_) kept.push_back(*best_);
    std::sort(kept.begin(), kept.end(), [](const Ranked& a, const Ranked& b) { return a.seq < b.seq; });
    kept.erase(std::unique(kept.begin(), kept.end(),
                           [](const Ranked& a, const Ranked& b) { return a.seq == b.seq; }),
               kept.end());
    return kept;
  }

 private:
  std::uint64_t parent_limit_;
  bool scaled_;
  bool keep_front_;
  std::optional<double> best_score_;  // best of the search so far
  std::optional<Ranked> best_;        // this level's best, when it beats the earlier levels'
  Front front_;
  NextParents next_parents_;
};

}  // namespace zor::discover::detail
