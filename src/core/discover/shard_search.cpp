// A shard search runs a level's pipeline for its range of the seen set's
// shards: generate the children (child_generator), fingerprint and admit
// them (child_admission), score the admitted ones (block_scoring) and fold
// them into what the level keeps (level_fold), a block at a time.
//
// A child is only an (operator, left, right) triple over parent positions
// until it is kept: its probe values and its values on the data are the
// operator applied to its parents' stored values, which is exactly what
// evaluating its token sequence computes (the parents' own operator results
// are known to be finite there, or they would not be parents).
#include "core/discover/shard_search.hpp"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <utility>

#include "core/discover/block_scoring.hpp"
#include "core/discover/child_admission.hpp"
#include "core/discover/child_block.hpp"
#include "core/discover/child_generator.hpp"
#include "core/discover/child_values.hpp"
#include "core/discover/level_fold.hpp"
#include "core/discover/memory_budget.hpp"
#include "core/discover/parent_store.hpp"
#include "core/discover/search_detail.hpp"
#include "core/discover/seeds.hpp"
#include "core/discover/seen_set.hpp"
#include "core/discover/stop_poller.hpp"

namespace zor::discover {

using namespace detail;

namespace {

// Row evaluations between two polls while a block is scored.
constexpr std::size_t kRowsPerScoringSlice = std::size_t{1} << 22;

ShardRange checked(ShardRange range) {
  if (!range.valid()) throw std::invalid_argument("a shard range must be a non-empty range of shards");
  return range;
}

}  // namespace

class ShardSearch::Impl {
 public:
  Impl(const Columns& columns, const std::vector<double>& y, const SearchOptions& options, ShardRange range,
       bool keep_front, ParentStore* shared_parents, std::function<PollAnswer()> poll,
       std::uint64_t memory_limit, const DimensionRules* dimensions)
      : options_(options),
        range_(checked(range)),
        keep_front_(keep_front),
        rows_(columns.front().size()),
        unary_(unary_operators(options)),
        binary_(binary_operators(options)),
        own_parents_(shared_parents == nullptr
                         ? std::make_unique<ParentStore>(rows_, options.use_zor, options.scaling, dimensions)
                         : nullptr),
        parents_(shared_parents != nullptr ? *shared_parents : *own_parents_),
        poll_(std::move(poll)),
        poller_(poll_, part_.cut_short),
        budget_(memory_limit, [this] { return admission_.bytes() + parents_.bytes(); }),
        admission_(parents_, range_, budget_, poller_),
        scorer_(parents_, y, options, rows_),
        // Before a level has run, the share of the children it admits is
        // taken as the share of the shards it owns.
        share_(static_cast<double>(range_.last - range_.first) / SeenSet::kShards) {
    seed(columns);
  }

  std::uint64_t bytes() const { return admission_.bytes() + (own_parents_ ? parents_.bytes() : 0); }

  LevelPart expand(const LevelStart& start) {
    part_ = LevelPart{};
    if (own_parents_) adopt(start.adopted);
    LevelFold fold(options_, keep_front_, start.best_score, Front(start.front_scores));
    ChildGenerator generator(parents_.complexities(), start.first_new, unary_, binary_,
                             options_.max_complexity, parents_.dimensions(), parents_.dimension_ids());
    run_level(generator, fold);
    part_.pruned = generator.pruned();
    // The share is of every child the generator counts, pruned ones included.
    share_.record(part_.generated + part_.pruned, part_.admitted);
    part_.seen_entries = admission_.entries();
    part_.candidates = fold.candidates();
    return std::move(part_);
  }

 private:
  void seed(const Columns& columns) {
    const std::vector<Seed> seeds = admitted_seeds(columns, options_);
    if (own_parents_) {
      budget_.require(seeds.size() * parents_.bytes_per_member());
      parents_.reserve(seeds.size());
    }
    admission_.admit_seeds(seeds);
    // A shard search sharing the coordinator's parents leaves the seeds to it.
    if (!own_parents_) return;
    for (const Seed& seed : seeds) {
      parents_.add(seed.expression, seed.probes,
                   [&](double* out) { seed_values(seed.expression, columns, out); });
    }
  }

  // Adds the previous level's chosen parents, as the coordinator did.
  void adopt(const std::vector<Child>& chosen) {
    if (chosen.empty()) return;
    require_parent_positions(parents_.size() + chosen.size());
    for (const Child& child : chosen) {
      if (child.left >= parents_.size() || right_operand(child) >= parents_.size())
        throw std::invalid_argument("an adopted parent refers to a parent that does not exist");
    }
    budget_.require(chosen.size() * parents_.bytes_per_member());
    parents_.reserve(chosen.size());
    add_children(parents_, chosen.data(), chosen.size(), rows_);
  }

  void run_level(ChildGenerator& generator, LevelFold& fold) {
    clock_ = PhaseClock();
    const double entries = share_.expected_entries(generator.total());
    budget_.require_level(static_cast<double>(admission_.entries()), entries,
                          static_cast<double>(parents_.bytes()));
    const auto per_shard = static_cast<std::size_t>(entries / static_cast<double>(admission_.shard_count()));
    const bool grown = admission_.reserve(per_shard);
    clock_.lap(part_.phases.admission);
    if (!grown) return;

    while (true) {
      generator.fill(block_.children, kChildrenPerBlock);
      clock_.lap(part_.phases.generation);
      if (block_.children.empty()) break;
      if (poller_.stop_requested()) break;
      part_.generated += block_.children.size();
      block_.reserve_for_children();
      const std::uint64_t level_bytes = generator.partner_bytes() + fold.bytes();
      budget_.require(level_bytes + block_.bytes());
      admission_.fingerprint(block_);
      clock_.lap(part_.phases.fingerprints);
      if (!admission_.admit(block_, level_bytes)) break;
      clock_.lap(part_.phases.admission);
      part_.admitted += block_.admitted.size();
      block_.prepare_scoring();
      const std::uint64_t base = part_.generated - block_.children.size();
      const std::size_t slice = candidates_within(kRowsPerScoringSlice, rows_);
      for (std::size_t lo = 0; lo < block_.admitted.size(); lo += slice) {
        const std::size_t hi = std::min(block_.admitted.size(), lo + slice);
        if (lo > 0 && poller_.stop_requested()) break;
        scorer_.score(block_, lo, hi, fold);
        clock_.lap(part_.phases.scoring);
        part_.scored += fold_scored(block_, lo, hi, base, fold);
        clock_.lap(part_.phases.merging);
      }
      if (part_.cut_short) break;
    }
  }

  const SearchOptions& options_;
  const ShardRange range_;
  const bool keep_front_;
  const std::size_t rows_;
  const std::vector<OpCode> unary_;
  const std::vector<OpCode> binary_;
  std::unique_ptr<ParentStore> own_parents_;
  ParentStore& parents_;
  LevelPart part_;
  const std::function<PollAnswer()> poll_;
  const StopPoller poller_;
  const MemoryBudget budget_;
  ShardAdmission admission_;
  const BlockScorer scorer_;
  AdmittedShare share_;
  ChildBlock block_;
  PhaseClock clock_;
};

ShardSearch::ShardSearch(const Columns& columns, const std::vector<double>& y, const SearchOptions& options,
                         ShardRange range, bool keep_front, ParentStore* shared_parents,
                         std::function<PollAnswer()> poll, std::uint64_t memory_limit,
                         const DimensionRules* dimensions)
    : impl_(std::make_unique<Impl>(columns, y, options, range, keep_front, shared_parents, std::move(poll),
                                   memory_limit, dimensions)) {}

ShardSearch::~ShardSearch() = default;

LevelPart ShardSearch::expand(const LevelStart& start) { return impl_->expand(start); }

std::uint64_t ShardSearch::bytes() const { return impl_->bytes(); }

}  // namespace zor::discover
