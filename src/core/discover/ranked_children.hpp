// A fast-search level's scored children as its reductions keep them, and the
// two places that keep the best of them: the front (best per complexity) and
// the parents of the next level.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "core/discover/child_generator.hpp"
#include "core/discover/parent_store.hpp"
#include "core/discover/render.hpp"
#include "core/discover/search.hpp"
#include "core/discover/search_detail.hpp"

namespace zor::discover::detail {

// A scored child; `seq` is its place in the level's generation order.
struct Ranked {
  double score;
  double rmse;
  std::uint64_t seq;
  Child child;
};

// A score above which nothing replaces a holder of `held`: a NaN is never
// replaced.
inline double score_bound(double held) {
  return std::isnan(held) ? -std::numeric_limits<double>::infinity() : held;
}

inline bool ranked_before(const Ranked& a, const Ranked& b) {
  return ranks_before(a.score, a.seq, b.score, b.seq);
}

// The scored candidate with its tokens and text built.
inline ScoredCandidate materialize(const ParentStore& parents, const Ranked& ranked) {
  ScoredCandidate scored;
  scored.expression = child_expr(parents, ranked.child);
  scored.formula = render_formula(scored.expression);
  scored.score = ranked.score;
  scored.rmse = ranked.rmse;
  scored.complexity = scored.expression.tokens.size();
  return scored;
}

// Per complexity, the best scored candidate: kept materialized between levels
// and as a triple while a level runs.
class Front {
 public:
  void offer(std::uint64_t complexity, const Ranked& ranked) {
    if (complexity >= slots_.size()) slots_.resize(complexity + 1);
    Slot& slot = slots_[complexity];
    if (!slot.present || replaces(slot.score, ranked.score)) {
      slot.present = true;
      slot.score = ranked.score;
      slot.pending = ranked;
    }
  }

  void offer(const ScoredCandidate& scored) {
    if (scored.complexity >= slots_.size()) slots_.resize(scored.complexity + 1);
    Slot& slot = slots_[scored.complexity];
    if (!slot.present || replaces(slot.score, scored.score)) {
      slot.present = true;
      slot.score = scored.score;
      slot.kept = scored;
      slot.pending.reset();
    }
  }

  // Builds the tokens and text of the winners still held as triples.
  void settle(const ParentStore& parents) {
    for (Slot& slot : slots_) {
      if (!slot.pending) continue;
      slot.kept = materialize(parents, *slot.pending);
      slot.pending.reset();
    }
  }

  // A score above which a child of this complexity cannot enter the front.
  double bound(std::uint64_t complexity) const {
    if (complexity >= slots_.size() || !slots_[complexity].present)
      return std::numeric_limits<double>::infinity();
    return score_bound(slots_[complexity].score);
  }

  std::vector<ScoredCandidate> take() {
    std::vector<ScoredCandidate> front;
    for (Slot& slot : slots_) {
      if (slot.present) front.push_back(std::move(slot.kept));
    }
    return front;
  }

 private:
  struct Slot {
    bool present = false;
    double score = 0.0;
    ScoredCandidate kept;
    std::optional<Ranked> pending;
  };
  std::vector<Slot> slots_;
};

// The first `limit` scored children of a level in rank order, kept in a heap
// whose top is the worst of them.
class TopParents {
 public:
  explicit TopParents(std::uint64_t limit) : limit_(limit) {}

  void offer(const Ranked& ranked) {
    if (limit_ == 0) return;
    if (heap_.size() < limit_) {
      heap_.push_back(ranked);
      std::push_heap(heap_.begin(), heap_.end(), ranked_before);
    } else if (ranked_before(ranked, heap_.front())) {
      std::pop_heap(heap_.begin(), heap_.end(), ranked_before);
      heap_.back() = ranked;
      std::push_heap(heap_.begin(), heap_.end(), ranked_before);
    }
  }

  std::uint64_t bytes() const { return heap_.capacity() * sizeof(Ranked); }

  // A score above which a child cannot become a parent.
  double bound() const {
    if (limit_ == 0) return -std::numeric_limits<double>::infinity();
    if (heap_.size() < limit_ || std::isnan(heap_.front().score))
      return std::numeric_limits<double>::infinity();
    return heap_.front().score;
  }

  std::vector<Ranked> take_in_order() {
    std::sort_heap(heap_.begin(), heap_.end(), ranked_before);
    return std::exchange(heap_, {});
  }

 private:
  std::uint64_t limit_;
  std::vector<Ranked> heap_;
};

}  // namespace zor::discover::detail
