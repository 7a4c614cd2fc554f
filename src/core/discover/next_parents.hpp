// The parents of a fast-search level's next level: the first of its scored
// children in rank order, and for the scaled search the two shares of them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/discover/ranked_children.hpp"
#include "core/discover/search_detail.hpp"

namespace zor::discover::detail {

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
