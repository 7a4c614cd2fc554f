// The literal beam search, kept as the reference the fast search is tested
// against: every candidate is a token sequence, fingerprinted and scored by
// evaluating it row by row.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "core/discover/fingerprint.hpp"
#include "core/discover/memory_budget.hpp"
#include "core/discover/search.hpp"
#include "core/discover/search_detail.hpp"
#include "core/discover/stop_poller.hpp"

namespace zor::discover {

namespace {

using namespace detail;

// Row evaluations per scoring slice: large enough to keep the workers busy,
// small enough that the cancellation callback is polled every few hundredths
// of a second.
constexpr std::size_t kRowsPerReferenceSlice = std::size_t{1} << 17;
constexpr std::size_t kMaxSlice = 4096;

// Generation work between two polls of the cancellation callback: a skipped
// pair costs one unit, a candidate put through admission kAdmissionCost.
constexpr std::size_t kPollUnits = std::size_t{1} << 16;
constexpr std::size_t kAdmissionCost = 16;

std::size_t sample_count(const Columns& columns) { return columns.empty() ? 0 : columns.front().size(); }

std::size_t scoring_slice(const Columns& columns) {
  const std::size_t rows = std::max<std::size_t>(sample_count(columns), 1);
  return std::clamp<std::size_t>(kRowsPerReferenceSlice / rows, 1, kMaxSlice);
}

// Unwinds the reference search when its control asks it to stop.
struct Stopped {};

void poll(const StopPoller& poller) {
  if (poller.stop_requested()) throw Stopped{};
}

// The reference search's estimates of what it holds, checked against its
// MemoryBudget.
struct ReferenceBytes {
  // A fingerprint slot in a hash table kept at most half full, right after
  // it doubled.
  static constexpr std::uint64_t kPerFingerprint = 4 * (sizeof(Fingerprint) + 1);
  // An expression's tokens with the vector and allocator overhead.
  static std::uint64_t expression(const Expr& expr) {
    return sizeof(Expr) + 16 + complexity(expr) * sizeof(Token);
  }
  // A scored record: its own expression copy and the rendered formula.
  static std::uint64_t scored(std::uint64_t expressions_bytes, std::uint64_t count) {
    return expressions_bytes * 2 + count * (sizeof(ScoredCandidate) + 32);
  }
};

// Candidates of one level that passed admission: they obey the dimension
// rules (when there are units), have a fingerprint and no earlier candidate
// of the search had the same one.
class Admission {
 public:
  Admission(std::size_t n_vars, const StopPoller& poller, const MemoryBudget& budget,
            const std::uint64_t& parents_bytes, const DimensionRules* dimensions)
      : n_vars_(n_vars),
        poller_(poller),
        budget_(budget),
        parents_bytes_(parents_bytes),
        dimensions_(dimensions) {}

  void admit(const Expr& candidate) {
    charge(kAdmissionCost);
    if (dimensions_ != nullptr && !dimensions_->of(candidate)) {
      ++pruned_;
      return;
    }
    ++generated_;
    const std::optional<Fingerprint> fp = fingerprint(candidate, n_vars_);
    if (fp && seen_.insert_if_absent(*fp)) {
      admitted_.push_back(candidate);
      admitted_bytes_ += ReferenceBytes::expression(candidate);
      budget_.require(held_bytes());
    }
  }

  // Bytes of the seen set, the parents and this level's candidates.
  std::uint64_t held_bytes() const {
    return seen_.size() * ReferenceBytes::kPerFingerprint + parents_bytes_ + admitted_bytes_;
  }
  std::uint64_t admitted_bytes() const { return admitted_bytes_; }
  std::size_t admitted_count() const { return admitted_.size(); }

  // Accounts for generation work and polls the callback now and then.
  void charge(std::size_t units) {
    units_ += units;
    if (units_ >= kPollUnits) {
      units_ = 0;
      poll(poller_);
    }
  }

  std::uint64_t take_generated() { return std::exchange(generated_, 0); }
  std::uint64_t take_pruned() { return std::exchange(pruned_, 0); }

  std::vector<Expr> take() {
    admitted_bytes_ = 0;
    return std::exchange(admitted_, {});
  }

 private:
  std::size_t n_vars_;
  const StopPoller& poller_;
  const MemoryBudget& budget_;
  const std::uint64_t& parents_bytes_;
  const DimensionRules* dimensions_;
  FingerprintSet seen_;
  std::vector<Expr> admitted_;
  std::uint64_t admitted_bytes_ = 0;
  std::size_t units_ = 0;
  std::uint64_t generated_ = 0;
  std::uint64_t pruned_ = 0;
};

}  // namespace

SearchOutcome reference_beam_search(const Columns& columns, const std::vector<double>& y,
                                    const SearchOptions& options, const SearchControl& control) {
  if (const std::optional<std::string> problem = validate_columns(columns)) {
    throw std::invalid_argument(*problem);
  }
  require_dimensions_of(columns, control);
  const auto start = std::chrono::steady_clock::now();
  const std::size_t n_vars = columns.size();
  const std::size_t slice = scoring_slice(columns);
  const std::vector<OpCode> unary = unary_operators(options);
  const std::vector<OpCode> binary = binary_operators(options);
  SearchOutcome outcome;
  const StopPoller poller(control.poll, outcome.cut_short);
  const std::function<bool()> cancelled = [&poller] {
    poll(poller);
    return false;
  };

  const MemoryBudget budget(control.memory_limit);
  std::uint64_t pool_bytes = 0;
  Admission admission(n_vars, poller, budget, pool_bytes, control.dimensions);
  std::vector<Expr> pool;
  std::optional<ScoredCandidate>& best = outcome.best;

  // Counts, best and front after a scored level; true when the goal is met.
  auto finish_level = [&](std::uint64_t level, std::size_t admitted,
                          const std::vector<ScoredCandidate>& scored) {
    const std::uint64_t generated = admission.take_generated();
    const std::uint64_t pruned = admission.take_pruned();
    outcome.generated += generated;
    outcome.pruned += pruned;
    outcome.admitted += admitted;
    outcome.scored += scored.size();
    update_best(best, scored);
    if (control.keep_front) update_front(outcome.front, scored);
    if (control.on_level) {
      LevelReport report;
      report.level = level;
      report.generated = generated;
      report.admitted = admitted;
      report.scored = scored.size();
      report.pruned = pruned;
      report.best = best ? &*best : nullptr;
      report.elapsed_seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      control.on_level(report);
    }
    return reached_goal(best, options);
  };

  try {
    // Level 1: the constants 0 and 1, then one variable per column.
    admission.admit(Expr{{Token::constant(0.0)}});
    admission.admit(Expr{{Token::constant(1.0)}});
    for (std::size_t k = 0; k < n_vars; ++k) admission.admit(Expr{{Token::var(k)}});
    std::vector<Expr> seeds = admission.take();
    if (finish_level(1, seeds.size(),
                     score_candidates_chunked(seeds, columns, y, options, slice, cancelled))) {
      return outcome;
    }
    pool = std::move(seeds);
    for (const Expr& seed : pool) pool_bytes += ReferenceBytes::expression(seed);

    const std::uint64_t parents_per_level = options.beam_width / 4;
    Expr child;
    for (std::uint64_t level = 2; level <= options.max_complexity; ++level) {
      poll(poller);
      const auto admission_start = std::chrono::steady_clock::now();

      for (const Expr& a : pool) {
        for (OpCode op : unary) {
          child.tokens.assign(a.tokens.begin(), a.tokens.end());
          child.tokens.push_back(Token::op_token(op));
          admission.admit(child);
        }
      }

      for (std::size_t i = 0; i < pool.size(); ++i) {
        const Expr& a = pool[i];
        for (std::size_t j = 0; j <= i; ++j) {
          admission.charge(1);
          const Expr& b = pool[j];
          if (complexity(a) + complexity(b) >= options.max_complexity) continue;
          for (OpCode op : binary) {
            child.tokens.assign(a.tokens.begin(), a.tokens.end());
            child.tokens.insert(child.tokens.end(), b.tokens.begin(), b.tokens.end());
            child.tokens.push_back(Token::op_token(op));
            admission.admit(child);
            if (builds_both_orders(op)) {
              child.tokens.assign(b.tokens.begin(), b.tokens.end());
              child.tokens.insert(child.tokens.end(), a.tokens.begin(), a.tokens.end());
              child.tokens.push_back(Token::op_token(op));
              admission.admit(child);
            }
          }
        }
      }

      outcome.admission_seconds +=
          std::chrono::duration<double>(std::chrono::steady_clock::now() - admission_start).count();

      // The level's scored records come on top of everything held so far.
      budget.require(admission.held_bytes() +
                     ReferenceBytes::scored(admission.admitted_bytes(), admission.admitted_count()));
      std::vector<Expr> fresh = admission.take();
      if (fresh.empty()) {
        outcome.generated += admission.take_generated();
        outcome.pruned += admission.take_pruned();
        break;
      }

      const std::size_t admitted = fresh.size();
      std::vector<ScoredCandidate> scored =
          score_candidates_chunked(fresh, columns, y, options, slice, cancelled);
      fresh = {};
      if (finish_level(level, admitted, scored)) return outcome;

      const std::vector<std::size_t> order = rank_by_score(scored);
      const std::size_t parents =
          static_cast<std::size_t>(std::min<std::uint64_t>(parents_per_level, order.size()));
      for (std::size_t r = 0; r < parents; ++r) {
        pool_bytes += ReferenceBytes::expression(scored[order[r]].expression);
        pool.push_back(std::move(scored[order[r]].expression));
      }
    }
  } catch (const Stopped&) {
    outcome.cut_short = true;
  }
  return outcome;
}

}  // namespace zor::discover
