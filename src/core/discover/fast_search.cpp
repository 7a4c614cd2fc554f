// The beam search as find_formula runs it. It visits the same candidates in
// the same order as reference_beam_search and reaches the same result bit for
// bit, but a child is only an (operator, left, right) triple over parent
// positions until it is kept (see shard_search.cpp), and its tokens and text
// are built only for the parents of the next level and the best. This file
// is the coordinator of the level steps (level_steps.hpp): the seeds, the
// merge of each level's parts, the reports and the parents.
#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <utility>

#include "core/discover/child_generator.hpp"
#include "core/discover/child_values.hpp"
#include "core/discover/level_fold.hpp"
#include "core/discover/level_steps.hpp"
#include "core/discover/memory_budget.hpp"
#include "core/discover/parent_store.hpp"
#include "core/discover/ranked_children.hpp"
#include "core/discover/scaled_fit.hpp"
#include "core/discover/search.hpp"
#include "core/discover/search_detail.hpp"
#include "core/discover/seeds.hpp"
#include "core/discover/shard_search.hpp"
#include "core/discover/stop_poller.hpp"

namespace zor::discover {

namespace {

using namespace detail;

// Row evaluations between two polls while a level's parents are built.
constexpr std::size_t kRowsPerParentSlice = std::size_t{1} << 20;

// Every shard in this process, sharing the coordinator's parents.
class LocalRunner final : public LevelRunner {
 public:
  LocalRunner(const Columns& columns, const std::vector<double>& y, const SearchOptions& options,
              const SearchControl& control, ParentStore& parents, std::uint64_t memory_limit)
      : shard_(columns, y, options, ShardRange{}, control.keep_front, &parents, control.poll, memory_limit,
               control.dimensions) {}

  std::vector<LevelPart> expand(const LevelStart& start) override {
    std::vector<LevelPart> parts;
    parts.push_back(shard_.expand(start));
    return parts;
  }
  std::vector<std::uint64_t> memory_limits() const override { return {}; }
  std::uint64_t seen_bytes() const { return shard_.bytes(); }

 private:
  ShardSearch shard_;
};

class FastSearch {
 public:
  FastSearch(const Columns& columns, const std::vector<double>& y, const SearchOptions& options,
             const SearchControl& control)
      : columns_(columns),
        y_(y),
        options_(options),
        control_(control),
        rows_(columns.front().size()),
        // Shard searches elsewhere hold the parents' values; here only their
        // tokens and probe values are needed.
        parent_rows_(control.runner != nullptr ? 0 : rows_),
        unary_(unary_operators(options)),
        binary_(binary_operators(options)),
        parents_(parent_rows_, options.use_zor, options.scaling, control.dimensions),
        poller_(control.poll, outcome_.cut_short),
        budget_(control.memory_limit,
                [this] { return (local_ ? local_->seen_bytes() : 0) + parents_.bytes(); }),
        fold_(options, control.keep_front),
        start_(std::chrono::steady_clock::now()) {
    if (options.scaling) targets_ = TargetSummary(y, rows_);
    if (control.runner == nullptr) {
      local_ = std::make_unique<LocalRunner>(columns, y, options, control, parents_, budget_.limit());
    }
    runner_ = control.runner != nullptr ? control.runner : local_.get();
  }

  SearchOutcome run() {
    if (seed_level()) return finish();
    std::size_t first_new = 0;
    for (std::uint64_t level = 2; level <= options_.max_complexity; ++level) {
      if (poller_.stop_requested()) return finish();
      const std::size_t parents_before = parents_.size();
      const LevelEnd end = expand(level, first_new);
      if (end != LevelEnd::Continue) return finish();
      first_new = parents_before;
    }
    return finish();
  }

 private:
  enum class LevelEnd { Continue, Done };

  // With shard searches in other processes, refuses a level that they could
  // not hold together (require_cluster_level); each shard search still
  // checks its own part against its own limit.
  void require_cluster_memory(std::size_t first_new) const {
    const std::vector<std::uint64_t> limits = runner_->memory_limits();
    if (limits.empty() || std::find(limits.begin(), limits.end(), 0) != limits.end()) return;
    // Counting the level's children builds the generator's partner lists:
    // only worth it when there is a cluster to check.
    const std::uint64_t children =
        ChildGenerator(parents_.complexities(), first_new, unary_, binary_, options_.max_complexity).total();
    require_cluster_level(limits, static_cast<double>(seen_entries_), share_.expected_entries(children),
                          worker_parent_bytes());
  }

  // What a shard search elsewhere holds of the parents: what this process
  // holds, and their values on every row.
  double worker_parent_bytes() const {
    const double terms = options_.use_zor ? 3.0 : 1.0;
    return static_cast<double>(parents_.bytes()) +
           static_cast<double>(parents_.size()) * terms * static_cast<double>(rows_) * sizeof(double);
  }

  // Level 1: the constants 0 and 1, then one variable per column, scored by
  // the literal scoring. True when the search ends here.
  bool seed_level() {
    const std::vector<Seed> seeds = admitted_seeds(columns_, options_);
    budget_.require(seeds.size() * parents_.bytes_per_member());
    std::vector<ScoredCandidate> scored;
    for (const Seed& seed : seeds) {
      std::optional<ScoredCandidate> s = score_seed(seed.expression, columns_, y_, options_, targets_);
      if (s) scored.push_back(std::move(*s));
    }
    const std::uint64_t generated = 2 + columns_.size();
    outcome_.generated += generated;
    outcome_.admitted += seeds.size();
    outcome_.scored += scored.size();
    fold_.offer_seeds(scored, outcome_.best);

    // Every seed is a parent of level 2, whatever its score.
    parents_.reserve(seeds.size());
    for (const Seed& seed : seeds) {
      parents_.add(seed.expression, seed.probes, [&](double* out) {
        if (parent_rows_ > 0) seed_values(seed.expression, columns_, out);
      });
    }
    report(1, generated, seeds.size(), scored.size());
    return reached_goal(outcome_.best, options_);
  }

  LevelStart level_start(std::uint64_t level, std::size_t first_new) {
    LevelStart start;
    start.level = level;
    start.first_new = first_new;
    start.adopted = std::exchange(adopted_, {});
    start.best_score = fold_.best_score();
    start.front_scores = fold_.front().scores();
    return start;
  }

  // One level of children; Done when the search ends with it.
  LevelEnd expand(std::uint64_t level, std::size_t first_new) {
    require_cluster_memory(first_new);
    std::vector<LevelPart> parts = runner_->expand(level_start(level, first_new));
    PhaseClock clock;

    std::uint64_t generated = 0;
    std::uint64_t admitted = 0;
    std::uint64_t scored = 0;
    std::uint64_t pruned = 0;
    std::vector<Ranked> candidates;
    seen_entries_ = 0;
    for (LevelPart& part : parts) {
      generated = std::max(generated, part.generated);
      pruned = std::max(pruned, part.pruned);
      admitted += part.admitted;
      scored += part.scored;
      seen_entries_ += part.seen_entries;
      if (part.cut_short) outcome_.cut_short = true;
      outcome_.phases += part.phases;
      outcome_.admission_seconds += part.phases.generation + part.phases.fingerprints + part.phases.admission;
      candidates.insert(candidates.end(), part.candidates.begin(), part.candidates.end());
    }
    // In generation order, as the one-machine level folds them.
    std::sort(candidates.begin(), candidates.end(),
              [](const Ranked& a, const Ranked& b) { return a.seq < b.seq; });
    for (const Ranked& ranked : candidates) {
      fold_.offer(ranked, ranked.size != 0 ? ranked.size : child_complexity(parents_, ranked.child));
    }
    clock.lap(outcome_.phases.merging);
    outcome_.generated += generated;
    outcome_.admitted += admitted;
    outcome_.scored += scored;
    outcome_.pruned += pruned;
    share_.record(generated + pruned, admitted);
    if (admitted == 0 || outcome_.cut_short) return LevelEnd::Done;

    settle_level();
    report(level, generated, admitted, scored, pruned);
    if (reached_goal(outcome_.best, options_)) return LevelEnd::Done;

    clock = PhaseClock();  // the report's time is the caller's
    std::vector<Ranked> chosen = fold_.take_parents();
    require_parent_positions(parents_.size() + chosen.size());
    budget_.require(chosen.size() * parents_.bytes_per_member());
    parents_.reserve(chosen.size());
    std::vector<Child> children;
    children.reserve(chosen.size());
    for (const Ranked& ranked : chosen) children.push_back(ranked.child);
    // Children read only parents of earlier levels, so a level's parents are
    // built side by side, a poll between two slices of them.
    const std::size_t per_poll = candidates_within(kRowsPerParentSlice, rows_);
    for (std::size_t lo = 0; lo < children.size(); lo += per_poll) {
      if (lo > 0 && poller_.stop_requested()) return LevelEnd::Done;
      add_children(parents_, children.data() + lo, std::min(per_poll, children.size() - lo), parent_rows_);
    }
    clock.lap(outcome_.phases.parents);
    if (!local_) adopted_ = std::move(children);
    return LevelEnd::Continue;
  }

  // Builds the tokens and text of the level's winners, so that the level
  // report and the outcome carry them.
  void settle_level() {
    if (const std::optional<Ranked> best = fold_.take_best()) outcome_.best = materialize(parents_, *best);
    if (control_.keep_front) fold_.front().settle(parents_);
  }

  void report(std::uint64_t level, std::uint64_t generated, std::uint64_t admitted, std::uint64_t scored,
              std::uint64_t pruned = 0) {
    if (!control_.on_level) return;
    LevelReport r;
    r.level = level;
    r.generated = generated;
    r.admitted = admitted;
    r.scored = scored;
    r.pruned = pruned;
    r.best = outcome_.best ? &*outcome_.best : nullptr;
    r.elapsed_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    control_.on_level(r);
  }

  SearchOutcome finish() {
    settle_level();
    if (control_.keep_front) outcome_.front = fold_.front().take();
    return std::move(outcome_);
  }

  const Columns& columns_;
  const std::vector<double>& y_;
  const SearchOptions& options_;
  const SearchControl& control_;
  const std::size_t rows_;
  const std::size_t parent_rows_;
  const std::vector<OpCode> unary_;
  const std::vector<OpCode> binary_;
  ParentStore parents_;
  SearchOutcome outcome_;
  const StopPoller poller_;
  const MemoryBudget budget_;
  LevelFold fold_;         // the best, the front and the parents, across levels
  TargetSummary targets_;  // scaled search only
  const std::chrono::steady_clock::time_point start_;
  std::unique_ptr<LocalRunner> local_;
  LevelRunner* runner_ = nullptr;
  std::vector<Child> adopted_;  // the last chosen parents, for shard searches elsewhere
  // The whole seen set's share of a level's children admitted.
  AdmittedShare share_{1.0};
  std::uint64_t seen_entries_ = 0;  // in every part of the seen set
};

}  // namespace

SearchOutcome beam_search(const Columns& columns, const std::vector<double>& y, const SearchOptions& options,
                          const SearchControl& control) {
  if (const std::optional<std::string> problem = validate_columns(columns)) {
    throw std::invalid_argument(*problem);
  }
  require_dimensions_of(columns, control);
  return FastSearch(columns, y, options, control).run();
}

std::optional<ScoredCandidate> beam_search(const Columns& columns, const std::vector<double>& y,
                                           const SearchOptions& options,
                                           const std::function<bool()>& cancelled,
                                           std::uint64_t memory_limit) {
  SearchControl control;
  if (cancelled) {
    control.poll = [&cancelled] { return cancelled() ? PollAnswer::Cancel : PollAnswer::Continue; };
  }
  control.memory_limit = memory_limit;
  return beam_search(columns, y, options, control).best;
}

}  // namespace zor::discover
