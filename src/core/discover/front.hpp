// The fast search's front: per complexity, the best scored candidate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "core/discover/parent_store.hpp"
#include "core/discover/ranked_children.hpp"
#include "core/discover/search.hpp"
#include "core/discover/search_detail.hpp"

namespace zor::discover::detail {

// Per complexity, the best scored candidate: kept materialized between levels
// and as a triple while a level runs. The coordinator keeps one for the whole
// search; a shard search starts one per level from the scores the earlier
// levels hold.
class Front {
 public:
  Front() = default;
  // Scores held by the earlier levels (absent: nothing of that complexity),
  // without their candidates.
  explicit Front(const std::vector<std::optional<double>>& earlier) : slots_(earlier.size()) {
    for (std::size_t c = 0; c < earlier.size(); ++c) {
      if (!earlier[c]) continue;
      slots_[c].present = true;
      slots_[c].score = *earlier[c];
    }
  }

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

  // Appends the winners still held as triples, in complexity order.
  void append_pending(std::vector<Ranked>& out) const {
    for (const Slot& slot : slots_) {
      if (slot.pending) out.push_back(*slot.pending);
    }
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

}  // namespace zor::discover::detail
