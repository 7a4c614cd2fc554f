// A fast-search level's scored children as its reductions keep them, and the
// two places that keep the best of them: the front (best per complexity) and
// the parents of the next level.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

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
  scored.complexity = ranked.size != 0 ? ranked.size : scored.expression.tokens.size();
  scored.scale = ranked.scale;
  scored.offset = ranked.offset;
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

  // Per complexity, the score held (absent where nothing is).
  std::vector<std::optional<double>> scores() const {
    std::vector<std::optional<double>> held(slots_.size());
    for (std::size_t c = 0; c < slots_.size(); ++c) {
      if (slots_[c].present) held[c] = slots_[c].score;
    }
    return held;
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

// The first `limit` scored children of a level in rank order by `key` (the
// score, or for the scaled search's second share the unscaled score). The
// children offered are appended to a buffer; when it holds twice the limit,
// the best `limit` are selected and the rest dropped, and the worst of those
// kept becomes the threshold that later children must beat. An offer costs
// a comparison and an append instead of a heap's logarithmic, cache-missing
// walk, and the children kept are the same: the first `limit` of a total
// order are a function of the set offered.
class TopParents {
 public:
  explicit TopParents(std::uint64_t limit, double Ranked::*key = &Ranked::score)
      : limit_(limit), order_{key} {}

  void offer(const Ranked& ranked) {
    if (limit_ == 0) return;
    if (threshold_ && !order_(ranked, *threshold_)) return;
    if (kept_.size() == kept_.capacity()) {
      // Doubling up to the limit, then room for the second half at once.
      const std::size_t size = kept_.size();
      kept_.reserve(size < limit_ ? std::max<std::size_t>(64, std::min<std::size_t>(2 * size, limit_))
                                  : 2 * limit_);
    }
    kept_.push_back(ranked);
    if (kept_.size() >= 2 * limit_) compact();
  }

  std::uint64_t bytes() const { return kept_.capacity() * sizeof(Ranked); }
  // The children that may still be among the first `limit`, in no order.
  const std::vector<Ranked>& held() {
    compact();
    return kept_;
  }

  // A key value above which a child cannot become a parent: the threshold's,
  // which is never below the worst of the first `limit` so far.
  double bound() const {
    if (limit_ == 0) return -std::numeric_limits<double>::infinity();
    if (!threshold_ || std::isnan((*threshold_).*order_.key)) return std::numeric_limits<double>::infinity();
    return (*threshold_).*order_.key;
  }

  std::vector<Ranked> take_in_order() {
    compact();
    std::sort(kept_.begin(), kept_.end(), order_);
    threshold_.reset();
    return std::exchange(kept_, {});
  }

 private:
  void compact() {
    if (limit_ == 0 || kept_.size() < limit_) return;
    const auto last = kept_.begin() + static_cast<std::ptrdiff_t>(limit_ - 1);
    std::nth_element(kept_.begin(), last, kept_.end(), order_);
    kept_.resize(limit_);
    threshold_ = kept_.back();
  }

  struct ByKey {
    double Ranked::*key;
    bool operator()(const Ranked& a, const Ranked& b) const {
      return ranks_before(a.*key, a.seq, b.*key, b.seq);
    }
  };
  std::uint64_t limit_;
  ByKey order_;
  std::vector<Ranked> kept_;
  std::optional<Ranked> threshold_;  // the worst of the first `limit`, once that many were offered
};

// How many affine copies of one shape (x, 2x, x + 1, ...) the scaled share
// of a level's parents may hold, and how many more children than that share
// its heap keeps so that the cap can be applied at the end of the level.
inline constexpr std::size_t kAffineCopies = 3;
inline constexpr std::size_t kScaledOversample = 2;

// The parents of the scaled search's next level: the best by scaled score,
// at most kAffineCopies per shape, for one half, then the best by unscaled
// score not already chosen, up to `limit` in all.
class ScaledParents {
 public:
  explicit ScaledParents(std::uint64_t limit)
      : limit_(limit),
        scaled_share_(limit - limit / 2),
        by_scaled_(scaled_share_ * kScaledOversample),
        by_unscaled_(limit, &Ranked::unscaled_score) {}

  void offer(const Ranked& ranked) {
    by_scaled_.offer(ranked);
    by_unscaled_.offer(ranked);
  }
  double scaled_bound() const { return by_scaled_.bound(); }
  double unscaled_bound() const { return by_unscaled_.bound(); }
  std::uint64_t bytes() const { return by_scaled_.bytes() + by_unscaled_.bytes(); }
  // Every child either share may still choose (one both hold comes twice).
  std::vector<Ranked> held() {
    std::vector<Ranked> all = by_scaled_.held();
    all.insert(all.end(), by_unscaled_.held().begin(), by_unscaled_.held().end());
    return all;
  }

  std::vector<Ranked> take_in_order() {
    std::vector<Ranked> chosen;
    std::unordered_map<std::uint64_t, std::size_t> copies;  // per shape, how many were chosen
    for (const Ranked& r : by_scaled_.take_in_order()) {
      if (chosen.size() == scaled_share_) break;
      std::size_t& count = copies[r.shape];
      if (count == kAffineCopies) continue;
      ++count;
      chosen.push_back(r);
    }
    std::vector<std::uint64_t> taken;
    for (const Ranked& r : chosen) taken.push_back(r.seq);
    std::sort(taken.begin(), taken.end());
    for (const Ranked& r : by_unscaled_.take_in_order()) {
      if (chosen.size() == limit_) break;
      if (!std::binary_search(taken.begin(), taken.end(), r.seq)) chosen.push_back(r);
    }
    return chosen;
  }

 private:
  std::uint64_t limit_;
  std::uint64_t scaled_share_;
  TopParents by_scaled_;
  TopParents by_unscaled_;
};

// The next level's parents: TopParents by score, or ScaledParents for the
// scaled search.
class NextParents {
 public:
  NextParents(std::uint64_t limit, bool scaled)
      : scaled_(scaled), plain_(scaled ? 0 : limit), shares_(scaled ? limit : 0) {}

  void offer(const Ranked& ranked) { scaled_ ? shares_.offer(ranked) : plain_.offer(ranked); }
  // A score above which a child cannot become a parent by its score...
  double bound() const { return scaled_ ? shares_.scaled_bound() : plain_.bound(); }
  // ... and, in the scaled search, an unscaled score above which it cannot
  // become one by that.
  double unscaled_bound() const { return shares_.unscaled_bound(); }
  std::uint64_t bytes() const { return plain_.bytes() + shares_.bytes(); }
  std::vector<Ranked> take_in_order() { return scaled_ ? shares_.take_in_order() : plain_.take_in_order(); }
  // The children that may still be chosen, in no order; those of several
  // parts offered to one NextParents choose as the whole level would.
  std::vector<Ranked> held() { return scaled_ ? shares_.held() : plain_.held(); }

 private:
  bool scaled_;
  TopParents plain_;
  ScaledParents shares_;
};

}  // namespace zor::discover::detail
