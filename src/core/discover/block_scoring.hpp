// Scoring of a block's admitted children on the worker pool, plain or scaled,
// against the bounds of the level's fold, and the fold of the scored ones in
// generation order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/discover/child_block.hpp"
#include "core/discover/level_fold.hpp"
#include "core/discover/parent_store.hpp"
#include "core/discover/scaled_fit.hpp"
#include "core/discover/search.hpp"

namespace zor::discover::detail {

class BlockScorer {
 public:
  // `parents`, `y` and `options` must outlive the scorer; `rows` is the
  // number of samples the parents hold values for.
  BlockScorer(const ParentStore& parents, const std::vector<double>& y, const SearchOptions& options,
              std::size_t rows);

  // Scores block.admitted[lo, hi) in parallel: a child whose error proves it
  // can become neither best, parent nor front entry (the fold's bounds) may
  // be ruled out before its last sample. Fills block.outcomes, block.ranked
  // (but for `seq`) and block.front_sizes at [lo, hi).
  void score(ChildBlock& block, std::size_t lo, std::size_t hi, const LevelFold& fold) const;

 private:
  Scoring score_plain(const Child& child, std::uint64_t tokens, double bound, const LevelFold& fold,
                      Ranked& ranked) const;
  Scoring score_scaled(const Child& child, std::uint64_t tokens, const ProbeValues& probes, double bound,
                       double unscaled_bound, const LevelFold& fold, double* values, Ranked& ranked) const;

  const ParentStore& parents_;
  const std::vector<double>& y_;
  const double penalty_;
  const bool scaled_;
  const std::size_t rows_;
  const std::size_t compared_;  // samples that enter the error
  const double m_;              // number of targets, the error's divisor
  TargetSummary targets_;       // scaled search only
};

// Folds the scored children of block.admitted[lo, hi) into `fold`, in
// generation order, and returns how many scored. `base` is the level's
// generation index of the block's first child.
std::uint64_t fold_scored(ChildBlock& block, std::size_t lo, std::size_t hi, std::uint64_t base,
                          LevelFold& fold);

}  // namespace zor::discover::detail
