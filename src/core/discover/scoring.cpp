// Candidate scoring: the penalised root-mean-square error of a formula over
// every sample, alone, in parallel on the worker pool, and ranked.
#include <algorithm>
#include <cmath>
#include <functional>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include "core/discover/render.hpp"
#include "core/discover/search.hpp"
#include "core/discover/search_detail.hpp"
#include "core/pool.hpp"

namespace zor::discover {

namespace {

using namespace detail;

// Row evaluations below which a piece of the candidate list is not split.
constexpr std::size_t kRowsPerCandidatePiece = 4096;
constexpr std::size_t kMaxGrain = 16;

std::size_t scoring_grain(const Columns& columns) {
  const std::size_t rows = std::max<std::size_t>(columns.empty() ? 0 : columns.front().size(), 1);
  return std::clamp<std::size_t>(kRowsPerCandidatePiece / rows, 1, kMaxGrain);
}

void poll(const std::function<bool()>& cancelled) {
  if (cancelled && cancelled()) throw Cancelled();
}

}  // namespace

std::optional<ScoredCandidate> score_candidate(const Expr& expr, const Columns& columns,
                                               const std::vector<double>& y, const SearchOptions& options) {
  static const std::vector<double> kNoParams;
  const std::optional<std::vector<double>> preds = evaluate_columns(expr, columns, kNoParams);
  if (!preds) return std::nullopt;
  const std::size_t m = y.size();
  const std::size_t compared = std::min(preds->size(), m);
  double sse = -0.0;
  for (std::size_t i = 0; i < compared; ++i) {
    const double diff = (*preds)[i] - y[i];
    sse += diff * diff;
  }
  const double rmse = std::sqrt(sse / static_cast<double>(m));
  const std::size_t size = complexity(expr);

  ScoredCandidate scored;
  scored.formula = render_formula(expr);
  scored.expression = expr;
  scored.score = penalised_score(rmse, size, options.complexity_penalty);
  scored.rmse = rmse;
  scored.complexity = size;
  return scored;
}

std::vector<ScoredCandidate> score_candidates(const std::vector<Expr>& candidates, const Columns& columns,
                                              const std::vector<double>& y, const SearchOptions& options) {
  return zor::pool::parallel_collect<ScoredCandidate>(
      candidates.size(), [&](std::size_t i) { return score_candidate(candidates[i], columns, y, options); },
      scoring_grain(columns));
}

std::vector<ScoredCandidate> score_candidates_chunked(const std::vector<Expr>& candidates,
                                                      const Columns& columns, const std::vector<double>& y,
                                                      const SearchOptions& options, std::size_t chunk,
                                                      const std::function<bool()>& cancelled) {
  chunk = std::max<std::size_t>(chunk, 1);
  const std::size_t grain = scoring_grain(columns);
  std::vector<ScoredCandidate> scored;
  for (std::size_t start = 0; start < candidates.size(); start += chunk) {
    poll(cancelled);
    const std::size_t count = std::min(chunk, candidates.size() - start);
    std::vector<ScoredCandidate> part = zor::pool::parallel_collect<ScoredCandidate>(
        count, [&](std::size_t i) { return score_candidate(candidates[start + i], columns, y, options); },
        grain);
    if (scored.empty()) {
      scored = std::move(part);
    } else {
      scored.insert(scored.end(), std::make_move_iterator(part.begin()), std::make_move_iterator(part.end()));
    }
  }
  return scored;
}

std::vector<std::size_t> rank_by_score(const std::vector<ScoredCandidate>& scored) {
  std::vector<std::size_t> order(scored.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return ranks_before(scored[a].score, a, scored[b].score, b);
  });
  return order;
}

}  // namespace zor::discover
