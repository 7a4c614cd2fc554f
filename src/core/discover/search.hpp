// Candidate scoring and the beam search over formulas.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/discover/expr.hpp"

namespace zor::discover {

using Columns = std::vector<std::vector<double>>;

// The search's settings, one row each: type, name, default. The CPython
// boundary reads every row by name from the caller's settings object, so a
// new setting is one row here (and one field of the companion's settings).
// Scaled search (`scaling`, fast search only): every candidate f is scored
// by its least-squares fit a·f + b (see scaled_fit.hpp), probed at rows of
// the data instead of the fixed probe points, and zor children whose
// operands reach a guard of zor (a non-positive logarithm argument, an
// exponent above the fold) are left out. A fitted model counts its two
// constants in its complexity, a constant model is one token. Half of each
// level's parents are ranked by the scaled score, at most kAffineCopies per
// shape, the other half by the unscaled score, so that the shapes and the
// variants deeper formulas build on both stay in the pool.
#define ZOR_SEARCH_OPTIONS(FIELD)                                                            \
  FIELD(std::uint64_t, max_complexity, 8)  /* last level; size bound of binary children */   \
  FIELD(std::uint64_t, beam_width, 2000)   /* beam_width / 4 of each level become parents */ \
  FIELD(double, precision_goal, 1e-10)     /* stop once the best score is at or below it */  \
  FIELD(bool, use_trig, true)              /* Sin and Cos among the unary operators */       \
  FIELD(bool, use_zor, true)               /* Zor among the binary operators */              \
  FIELD(double, complexity_penalty, 0.001) /* score = rmse * (size * penalty + 1) */         \
  FIELD(bool, scaling, false)              /* fit a·f + b around every candidate */

struct SearchOptions {
#define ZOR_DECLARE_OPTION(type, name, fallback) type name = fallback;
  ZOR_SEARCH_OPTIONS(ZOR_DECLARE_OPTION)
#undef ZOR_DECLARE_OPTION
};

// The factor a candidate's error is multiplied by for its size: every
// score of every search is rmse * penalty_factor(size, penalty), in this
// order of operations.
inline double penalty_factor(std::uint64_t size, double penalty) {
  return static_cast<double>(size) * penalty + 1.0;
}

inline double penalised_score(double rmse, std::uint64_t size, double penalty) {
  return rmse * penalty_factor(size, penalty);
}

struct ScoredCandidate {
  std::string formula;           // render_formula of the expression
  std::vector<double> params;    // always empty: nothing is fitted
  Expr expression;               // own copy of the candidate's tokens
  double score = 0.0;            // rmse * (complexity * penalty + 1)
  double rmse = 0.0;             // root-mean-square error, unpenalised
  std::uint64_t complexity = 0;  // token count; with scaling, the model's size
  double scale = 1.0;            // with scaling, the fitted a of a·f + b (0: the constant model)
  double offset = 0.0;           // with scaling, the fitted b
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

// One finished level, as handed to SearchControl::on_level.
struct LevelReport {
  std::uint64_t level = 0;
  std::uint64_t generated = 0;            // children put through admission at this level
  std::uint64_t admitted = 0;             // of those, the ones with a new fingerprint
  std::uint64_t scored = 0;               // of those, the ones defined on every sample
  std::uint64_t pruned = 0;               // children left out for breaking the dimension rules
  const ScoredCandidate* best = nullptr;  // best so far; null when there is none
  double elapsed_seconds = 0.0;           // since the search started
};

enum class PollAnswer { Continue, Stop, Cancel };

class LevelRunner;
class DimensionRules;

// How a caller watches and steers a search. Everything is optional.
struct SearchControl {
  // Polled on the search thread every few milliseconds of work. Stop ends
  // the search with the best found so far (the outcome is cut short);
  // Cancel throws Cancelled.
  std::function<PollAnswer()> poll;
  // Called on the search thread after every level, the seeds' included.
  std::function<void(const LevelReport&)> on_level;
  // Keep the best scored candidate of every complexity.
  bool keep_front = false;
  // The search's own data is kept within this many bytes, by estimate; a
  // search that would outgrow it throws SearchMemoryExceeded instead of
  // exhausting the machine. 0 means most of the memory available when the
  // search starts.
  std::uint64_t memory_limit = 0;
  // Where the fast search runs each level's shard searches (see
  // level_steps.hpp); null for this process. The runner's shard searches
  // must have been made for the same columns, targets and options.
  LevelRunner* runner = nullptr;
  // The columns' dimensions (see dimensions.hpp): children that break their
  // rules are never generated. Null: no units.
  const DimensionRules* dimensions = nullptr;
};

// Wall time of each phase of the fast search's levels, summed over levels:
// making the children, their probe values and hashes, admission to the seen
// set (ordering, growing the tables, inserting), scoring, folding the scored
// into the best, front and parents (merging), and building the next parents.
struct PhaseSeconds {
  double generation = 0.0;
  double fingerprints = 0.0;
  double admission = 0.0;
  double scoring = 0.0;
  double merging = 0.0;
  double parents = 0.0;

  PhaseSeconds& operator+=(const PhaseSeconds& other) {
    generation += other.generation;
    fingerprints += other.fingerprints;
    admission += other.admission;
    scoring += other.scoring;
    merging += other.merging;
    parents += other.parents;
    return *this;
  }
};

struct SearchOutcome {
  std::optional<ScoredCandidate> best;
  // With keep_front: per complexity, in increasing order, the candidate that
  // scored best (the earliest among equal scores).
  std::vector<ScoredCandidate> front;
  bool cut_short = false;  // stopped by SearchControl::poll
  std::uint64_t generated = 0;
  std::uint64_t admitted = 0;
  std::uint64_t scored = 0;
  std::uint64_t pruned = 0;
  double admission_seconds = 0.0;  // wall time spent generating and admitting children
  PhaseSeconds phases;             // the fast search's only
};

// Thrown when a search would outgrow its memory limit; what() says which
// settings to lower.
class SearchMemoryExceeded : public std::bad_alloc {
 public:
  explicit SearchMemoryExceeded(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Bottom-up search for the formula over the columns that best fits y.
// Children are computed from their parents' stored values instead of being
// evaluated token by token; the outcome is bit for bit that of
// reference_beam_search. Columns that validate_columns refuses raise
// std::invalid_argument with its message.
SearchOutcome beam_search(const Columns& columns, const std::vector<double>& y, const SearchOptions& options,
                          const SearchControl& control);

// The literal search: every candidate is a token sequence, fingerprinted and
// scored by evaluating it row by row. Kept as the reference the fast search
// is tested against.
SearchOutcome reference_beam_search(const Columns& columns, const std::vector<double>& y,
                                    const SearchOptions& options, const SearchControl& control);

// beam_search's best, with a plain cancellation callback: when `cancelled`
// returns true, Cancelled is thrown.
std::optional<ScoredCandidate> beam_search(const Columns& columns, const std::vector<double>& y,
                                           const SearchOptions& options,
                                           const std::function<bool()>& cancelled = {},
                                           std::uint64_t memory_limit = 0);

}  // namespace zor::discover
