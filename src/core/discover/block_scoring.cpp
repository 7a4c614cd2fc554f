#include "core/discover/block_scoring.hpp"

#include <algorithm>
#include <cmath>

#include "core/discover/child_scoring.hpp"
#include "core/discover/child_values.hpp"
#include "core/pool.hpp"

namespace zor::discover::detail {

BlockScorer::BlockScorer(const ParentStore& parents, const std::vector<double>& y,
                         const SearchOptions& options, std::size_t rows)
    : parents_(parents),
      y_(y),
      penalty_(options.complexity_penalty),
      scaled_(options.scaling),
      rows_(rows),
      compared_(std::min(rows, y.size())),
      m_(static_cast<double>(y.size())) {
  if (scaled_) targets_ = TargetSummary(y, rows);
}

void BlockScorer::score(ChildBlock& block, std::size_t lo, std::size_t hi, const LevelFold& fold) const {
  const double bound = fold.bound();
  const double unscaled_bound = scaled_ ? fold.unscaled_bound() : 0.0;
  const std::size_t grain = candidates_within(kRowsPerPoolPiece, rows_);
  zor::pool::for_each_piece(hi - lo, grain, [&](std::size_t a, std::size_t b) {
    std::vector<double> values(scaled_ ? rows_ : 0);  // the scaled fit's input
    for (std::size_t r = lo + a; r < lo + b; ++r) {
      const std::uint32_t k = block.admitted[r];
      const Child& child = block.children[k];
      const std::uint64_t tokens = child_complexity(parents_, child);
      Ranked& ranked = block.ranked[r];
      block.outcomes[r] = scaled_ ? score_scaled(child, tokens, block.probes[k], bound, unscaled_bound, fold,
                                                 values.data(), ranked)
                                  : score_plain(child, tokens, bound, fold, ranked);
      if (block.outcomes[r] == Scoring::Scored) block.front_sizes[r] = scaled_ ? ranked.size : tokens;
    }
  });
}

Scoring BlockScorer::score_plain(const Child& child, std::uint64_t tokens, double bound,
                                 const LevelFold& fold, Ranked& ranked) const {
  const double factor = penalty_factor(tokens, penalty_);
  double sse = 0.0;
  const Scoring outcome = child_sse(parents_, child, rows_, y_.data(), compared_, m_, factor,
                                    fold.child_bound(bound, tokens), sse);
  if (outcome != Scoring::Scored) return outcome;
  ranked.rmse = std::sqrt(sse / m_);
  ranked.score = penalised_score(ranked.rmse, tokens, penalty_);
  ranked.child = child;
  return outcome;
}

// Both scores of the child, with its fit. `bound` is on the scaled score,
// `unscaled_bound` on the unscaled one; a child above both is of no use.
Scoring BlockScorer::score_scaled(const Child& child, std::uint64_t tokens, const ProbeValues& probes,
                                  double bound, double unscaled_bound, const LevelFold& fold, double* values,
                                  Ranked& ranked) const {
  // The smaller factor of the two model sizes keeps the bound safe.
  const double least_factor = std::min(penalty_factor(scaled_size(tokens, true), penalty_),
                                       penalty_factor(scaled_size(tokens, false), penalty_));
  // A constant model never enters the front: its score is the seeds'
  // constant model's, bit for bit, and ties keep the earlier.
  const double child_bound = fold.child_bound(bound, scaled_size(tokens, false));
  double unscaled_sse = 0.0;
  AffineFit fit{};
  const Scoring outcome =
      child_scaled(parents_, child, rows_, y_.data(), targets_, penalty_factor(tokens, penalty_),
                   unscaled_bound, least_factor, child_bound, values, unscaled_sse, fit);
  if (outcome != Scoring::Scored) return outcome;
  ranked.size = scaled_size(tokens, fit.constant);
  ranked.rmse = std::sqrt(fit.sse / targets_.m);
  ranked.score = penalised_score(ranked.rmse, ranked.size, penalty_);
  ranked.child = child;
  ranked.unscaled_score = penalised_score(std::sqrt(unscaled_sse / targets_.m), tokens, penalty_);
  ranked.scale = fit.scale;
  ranked.offset = fit.offset;
  ranked.shape = fit.constant ? 0 : affine_class(probes);
  return outcome;
}

std::uint64_t fold_scored(ChildBlock& block, std::size_t lo, std::size_t hi, std::uint64_t base,
                          LevelFold& fold) {
  std::uint64_t count = 0;
  for (std::size_t r = lo; r < hi; ++r) {
    if (block.outcomes[r] != Scoring::Scored) continue;
    ++count;
    Ranked& ranked = block.ranked[r];
    ranked.seq = base + block.admitted[r];
    fold.offer(ranked, block.front_sizes[r]);
  }
  return count;
}

}  // namespace zor::discover::detail
