// Candidate scoring and the beam search over formulas.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/discover/expr.hpp"

namespace zor::discover {

using Columns = std::vector<std::vector<double>>;

struct SearchOptions {
  std::uint64_t max_complexity = 8;  // last level; size bound of binary children
  std::uint64_t beam_width = 2000;   // beam_width / 4 of each level become parents
  double precision_goal = 1e-10;     // stop once the best score is at or below it
  bool use_trig = true;              // Sin and Cos among the unary operators
  bool use_zor = true;               // Zor among the binary operators
  double complexity_penalty = 0.001;
};

struct ScoredCandidate {
  std::string formula;           // render_formula of the expression
  std::vector<double> params;    // always empty: nothing is fitted
  Expr expression;               // own copy of the candidate's tokens
  double score = 0.0;            // rmse * (complexity * penalty + 1)
  std::uint64_t complexity = 0;  // token count
};

// Thrown by beam_search when its cancellation callback asks it to stop.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "formula search cancelled"; }
};

// Scores one candidate over every sample; absent when the expression fails on
// any sample. Targets beyond the sample count add nothing to the error but
// count in its mean; samples beyond the targets are evaluated but not compared.
std::optional<ScoredCandidate> score_candidate(const Expr& expr, const Columns& columns,
                                               const std::vector<double>& y, const SearchOptions& options);

// Scores every candidate on the worker pool; the successfully scored ones come
// back in input order.
std::vector<ScoredCandidate> score_candidates(const std::vector<Expr>& candidates, const Columns& columns,
                                              const std::vector<double>& y, const SearchOptions& options);

// Same result as score_candidates, computed in consecutive slices of at most
// `chunk` candidates (0 is taken as 1). `cancelled` (may be empty) is polled on
// the calling thread before every slice; when it returns true, Cancelled is
// thrown.
std::vector<ScoredCandidate> score_candidates_chunked(const std::vector<Expr>& candidates,
                                                      const Columns& columns, const std::vector<double>& y,
                                                      const SearchOptions& options, std::size_t chunk,
                                                      const std::function<bool()>& cancelled);

// Indices of `scored` by ascending score. Equal scores keep their list order;
// NaN scores, which no ordering comparison places, come last, also in list
// order.
std::vector<std::size_t> rank_by_score(const std::vector<ScoredCandidate>& scored);

// Bottom-up search for the formula over the columns that best fits y.
// `cancelled` (may be empty) is polled on the calling thread during
// generation and between scoring slices; when it returns true, Cancelled is
// thrown. Columns that validate_columns refuses raise std::invalid_argument
// with its message.
// The search's own data (seen fingerprints, parents, a level's candidates and
// their scores) is kept within `memory_limit` bytes, by estimate; a search
// that would outgrow it throws std::bad_alloc instead of exhausting the
// machine. 0 means most of the memory available when the search starts.
std::optional<ScoredCandidate> beam_search(const Columns& columns, const std::vector<double>& y,
                                           const SearchOptions& options,
                                           const std::function<bool()>& cancelled = {},
                                           std::uint64_t memory_limit = 0);

}  // namespace zor::discover
