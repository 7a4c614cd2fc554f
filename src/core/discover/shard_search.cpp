// A child is only an (operator, left, right) triple over parent positions
// until it is kept: its probe values and its values on the data are the
// operator applied to its parents' stored values, which is exactly what
// evaluating its token sequence computes (the parents' own operator results
// are known to be finite there, or they would not be parents).
#include "core/discover/shard_search.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "core/discover/child_generator.hpp"
#include "core/discover/child_scoring.hpp"
#include "core/discover/operator_eval.hpp"
#include "core/discover/parent_store.hpp"
#include "core/discover/ranked_children.hpp"
#include "core/discover/scaled_fit.hpp"
#include "core/discover/search_detail.hpp"
#include "core/discover/seen_key.hpp"
#include "core/discover/seen_set.hpp"
#include "core/memory.hpp"
#include "core/pool.hpp"

namespace zor::discover {

using namespace detail;

namespace {

// Children admitted together: large enough to keep both phases of admission
// parallel, small enough that polls come every few milliseconds.
constexpr std::size_t kBlock = std::size_t{1} << 17;
constexpr std::size_t kFingerprintGrain = 1024;
// Admission inserts a block's children sorted by this many top bits of their
// hash: the shard bits, then the leading bits of the first slot.
constexpr unsigned kOrderBits = SeenSet::kShardBits + 4;
constexpr std::size_t kOrderBuckets = std::size_t{1} << kOrderBits;
constexpr std::size_t kBucketsPerShard = kOrderBuckets / SeenSet::kShards;

std::size_t order_bucket(std::uint64_t hash) { return static_cast<std::size_t>(hash >> (64 - kOrderBits)); }
// Row evaluations between two polls while a block is scored.
constexpr std::size_t kRowsPerSlice = std::size_t{1} << 22;
// Row evaluations below which a piece of a scoring slice is not split.
constexpr std::size_t kRowsPerPiece = std::size_t{1} << 14;

bool same_bits(const ProbeValues& a, const ProbeValues& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The probe values of the candidate named by a seen-set key.
void key_values(const ParentStore& parents, std::uint64_t key, ProbeValues& out) {
  if (is_member_key(key)) {
    out = parents.probes(key_member(key));
    return;
  }
  child_probes(parents, key_child(key), out);
}

// The current block of children and what admission and scoring compute for
// it, reused from block to block.
struct Block {
  std::vector<Child> children;
  std::vector<ProbeValues> probes;
  std::vector<std::uint64_t> hashes;
  std::vector<std::uint8_t> owned;  // valid, and of one of this search's shards
  std::vector<std::uint8_t> inserted;
  std::vector<std::uint32_t> bucket_start;  // kOrderBuckets + 1 offsets into order
  std::vector<std::uint32_t> order;         // owned children by order_bucket, stably
  std::vector<std::uint32_t> admitted;      // positions of the admitted children
  // Per admitted child: how its scoring ended and, when scored, its ranking
  // and its complexity on the front, both worked out on the worker pool.
  std::vector<Scoring> outcomes;
  std::vector<Ranked> ranked;
  std::vector<std::uint64_t> front_sizes;

  // Takes at once the room that admitting and scoring the current children
  // needs, so that bytes() counts it before it is used.
  void reserve_for_children() {
    const std::size_t n = children.size();
    probes.reserve(n);
    hashes.reserve(n);
    owned.reserve(n);
    inserted.reserve(n);
    bucket_start.reserve(kOrderBuckets + 1);
    order.reserve(n);
    admitted.reserve(n);
    outcomes.reserve(n);
    ranked.reserve(n);
    front_sizes.reserve(n);
  }

  std::uint64_t bytes() const {
    return held(children) + held(probes) + held(hashes) + held(owned) + held(inserted) + held(bucket_start) +
           held(order) + held(admitted) + held(outcomes) + held(ranked) + held(front_sizes);
  }

 private:
  template <class T>
  static std::uint64_t held(const std::vector<T>& v) {
    return v.capacity() * sizeof(T);
  }
};

// The front as a level sees it: the scores of the earlier levels and the
// best child of each complexity this level has found so far.
class LevelFront {
 public:
  explicit LevelFront(const std::vector<std::optional<double>>& earlier) : slots_(earlier.size()) {
    for (std::size_t c = 0; c < earlier.size(); ++c) {
      if (earlier[c]) slots_[c] = Slot{true, *earlier[c], std::nullopt};
    }
  }

  void offer(std::uint64_t complexity, const Ranked& ranked) {
    if (complexity >= slots_.size()) slots_.resize(complexity + 1);
    Slot& slot = slots_[complexity];
    if (!slot.present || replaces(slot.score, ranked.score)) slot = Slot{true, ranked.score, ranked};
  }

  double bound(std::uint64_t complexity) const {
    if (complexity >= slots_.size() || !slots_[complexity].present)
      return std::numeric_limits<double>::infinity();
    return score_bound(slots_[complexity].score);
  }

  void append_found(std::vector<Ranked>& out) const {
    for (const Slot& slot : slots_) {
      if (slot.found) out.push_back(*slot.found);
    }
  }

 private:
  struct Slot {
    bool present = false;
    double score = 0.0;
    std::optional<Ranked> found;
  };
  std::vector<Slot> slots_;
};

}  // namespace

std::vector<Seed> admitted_seeds(const Columns& columns, const SearchOptions& options) {
  std::vector<Expr> seeds = {Expr{{Token::constant(0.0)}}, Expr{{Token::constant(1.0)}}};
  for (std::size_t k = 0; k < columns.size(); ++k) seeds.push_back(Expr{{Token::var(k)}});
  const std::vector<ProbeValues> probe_rows =
      options.scaling ? data_probe_rows(columns) : std::vector<ProbeValues>{};
  std::vector<Seed> admitted;
  for (const Expr& seed : seeds) {
    std::optional<ProbeValues> probes;
    const Token leaf = seed.tokens.front();
    if (!options.scaling) {
      probes = probe_values(seed, columns.size());
    } else if (leaf.kind == TokenKind::Var) {
      probes = probe_rows[leaf.index()];
    } else {
      probes.emplace();
      probes->fill(leaf.value());
    }
    if (!probes) continue;
    const bool seen = std::any_of(admitted.begin(), admitted.end(),
                                  [&](const Seed& kept) { return same_bits(kept.probes, *probes); });
    if (!seen) admitted.push_back(Seed{seed, *probes});
  }
  if (admitted.size() > kMaxMembers) throw SearchMemoryExceeded(memory_message(kMaxMembers, 0));
  return admitted;
}

void seed_values(const Expr& seed, const Columns& columns, double* out) {
  const Token leaf = seed.tokens.front();
  const std::size_t rows = columns.front().size();
  if (leaf.kind == TokenKind::Var) {
    std::copy_n(columns[leaf.index()].begin(), rows, out);
  } else {
    std::fill_n(out, rows, leaf.value());
  }
}

class ShardSearch::Impl {
 public:
  Impl(const Columns& columns, const std::vector<double>& y, const SearchOptions& options, ShardRange range,
       bool keep_front, ParentStore* shared_parents, std::function<PollAnswer()> poll,
       std::uint64_t memory_limit)
      : y_(y),
        options_(options),
        range_(range),
        keep_front_(keep_front),
        rows_(columns.front().size()),
        compared_(std::min(rows_, y.size())),
        unary_(unary_operators(options)),
        binary_(binary_operators(options)),
        own_parents_(shared_parents == nullptr
                         ? std::make_unique<ParentStore>(rows_, options.use_zor, options.scaling)
                         : nullptr),
        parents_(shared_parents != nullptr ? *shared_parents : *own_parents_),
        poll_(std::move(poll)),
        memory_limit_(memory_limit != 0 ? memory_limit : default_memory_limit()) {
    if (!range.valid()) throw std::invalid_argument("a shard range must be a non-empty range of shards");
    if (options.scaling) {
      targets_ = TargetSummary(y, rows_);
    }
    seed(columns);
  }

  std::uint64_t bytes() const { return seen_.bytes() + (own_parents_ ? parents_.bytes() : 0); }

  LevelPart expand(const LevelStart& start) {
    part_ = LevelPart{};
    if (own_parents_) adopt(start.adopted);
    best_score_ = start.best_score;
    LevelFront front(start.front_scores);
    ChildGenerator generator(parents_.complexities(), start.first_new, unary_, binary_,
                             options_.max_complexity);
    NextParents next_parents(options_.beam_width / 4, options_.scaling);
    std::optional<Ranked> best;
    run_level(generator, next_parents, front, best);
    last_generated_ = part_.generated;
    last_admitted_ = part_.admitted;
    part_.seen_entries = seen_.size();

    std::vector<Ranked>& kept = part_.candidates;
    kept = next_parents.held();
    if (keep_front_) front.append_found(kept);
    if (best) kept.push_back(*best);
    std::sort(kept.begin(), kept.end(), [](const Ranked& a, const Ranked& b) { return a.seq < b.seq; });
    kept.erase(std::unique(kept.begin(), kept.end(),
                           [](const Ranked& a, const Ranked& b) { return a.seq == b.seq; }),
               kept.end());
    return std::move(part_);
  }

 private:
  // True when the poll asks to stop; throws Cancelled when it cancels.
  bool stop_requested() {
    if (!poll_) return false;
    const PollAnswer answer = poll_();
    if (answer == PollAnswer::Cancel) throw Cancelled();
    if (answer == PollAnswer::Stop) part_.cut_short = true;
    return part_.cut_short;
  }

  void seed(const Columns& columns) {
    const std::vector<Seed> seeds = admitted_seeds(columns, options_);
    if (own_parents_) {
      require_memory(seeds.size() * parents_.bytes_per_member());
      parents_.reserve(seeds.size());
    }
    for (std::size_t i = 0; i < seeds.size(); ++i) {
      // A seed's key names the parent position it takes.
      const std::uint64_t h = SeenSet::hash(seeds[i].probes);
      const std::size_t shard = SeenSet::shard_of(h);
      if (range_.owns(shard)) {
        seen_.resize_shard(shard, seen_.slots_needed(shard, 1),
                           [&](std::uint64_t key) { return SeenSet::hash(seeds[key_member(key)].probes); });
        seen_.insert_if_absent(h, member_key(i), [](std::uint64_t) { return false; });
      }
      if (own_parents_) {
        parents_.add(seeds[i].expression, seeds[i].probes,
                     [&](double* out) { seed_values(seeds[i].expression, columns, out); });
      }
    }
  }

  // Adds the previous level's chosen parents, as the coordinator did.
  void adopt(const std::vector<Child>& chosen) {
    if (chosen.empty()) return;
    if (parents_.size() + chosen.size() > kMaxMembers)
      throw SearchMemoryExceeded(memory_message(kMaxMembers, 0));
    for (const Child& child : chosen) {
      if (child.left >= parents_.size() || right_operand(child) >= parents_.size())
        throw std::invalid_argument("an adopted parent refers to a parent that does not exist");
    }
    require_memory(chosen.size() * parents_.bytes_per_member());
    parents_.reserve(chosen.size());
    add_children(parents_, chosen.data(), chosen.size(), rows_);
  }

  // Recomputes the hash of a stored seen-set key when a table grows.
  auto stored_hash() const {
    return [this](std::uint64_t key) {
      ProbeValues values{};
      key_values(parents_, key, values);
      return SeenSet::hash(values);
    };
  }

  void require_memory(std::uint64_t extra) const {
    const std::uint64_t held = seen_.bytes() + parents_.bytes() + extra;
    if (held > memory_limit_) throw SearchMemoryExceeded(memory_message(held, memory_limit_));
  }

  // Entries a level of `children` is expected to add to this part of the
  // seen set: the share of the children the previous level admitted here.
  double expected_entries(std::uint64_t children) const {
    const double share = last_generated_ > 0
                             ? static_cast<double>(last_admitted_) / last_generated_
                             : static_cast<double>(range_.last - range_.first) / SeenSet::kShards;
    return share * static_cast<double>(children);
  }

  // Refuses a level whose expected entries would grow the seen set past the
  // memory limit: it fails now instead of after minutes of work. The estimate
  // gets a quarter of headroom, since a level may admit a larger share than
  // the one before it; the check of every block still holds the line if the
  // estimate was low.
  void require_level_memory(double entries) const {
    constexpr double kHeadroom = 1.25;
    // Half-full tables at the least.
    const double needed =
        2.0 * SeenSet::kSlotBytes * (static_cast<double>(seen_.size()) + kHeadroom * entries) +
        static_cast<double>(parents_.bytes());
    if (needed > static_cast<double>(memory_limit_)) {
      throw SearchMemoryExceeded(
          memory_message(static_cast<std::uint64_t>(std::min(needed, 1e19)), memory_limit_));
    }
  }

  // Grows every owned shard to room for extra_of(shard) more entries, after
  // checking that the growth fits the memory limit. Shards are rebuilt on
  // the worker pool, a group at a time with a poll after each group. False
  // when the poll asks to stop.
  template <class ExtraOf>
  bool grow_seen_set(ExtraOf&& extra_of, std::uint64_t other_bytes) {
    std::uint64_t growth = 0;
    std::uint64_t largest = 0;
    std::vector<std::pair<std::size_t, std::size_t>> grown;  // (shard, slots)
    for (std::size_t s = range_.first; s < range_.last; ++s) {
      const std::size_t needed = seen_.slots_needed(s, extra_of(s));
      if (needed == seen_.slots(s)) continue;
      grown.emplace_back(s, needed);
      growth += (needed - seen_.slots(s)) * SeenSet::kSlotBytes;
      largest = std::max<std::uint64_t>(largest, needed * SeenSet::kSlotBytes);
    }
    if (grown.empty()) return true;
    // While a table is rebuilt, its old slots are still held: one table's
    // on each thread at once.
    require_memory(growth + zor::pool::thread_count() * largest + other_bytes);
    // Taking fresh memory costs page faults, which threads take one at a
    // time: a group holds a few megabytes of new tables, so that polls come
    // every few milliseconds.
    constexpr std::uint64_t kBytesPerPoll = std::uint64_t{4} << 20;
    for (std::size_t lo = 0; lo < grown.size();) {
      std::size_t hi = lo;
      for (std::uint64_t bytes = 0; hi < grown.size() && (hi == lo || bytes < kBytesPerPoll); ++hi)
        bytes += grown[hi].second * SeenSet::kSlotBytes;
      zor::pool::for_each_piece(hi - lo, 1, [&](std::size_t a, std::size_t b) {
        for (std::size_t g = lo + a; g < lo + b; ++g)
          seen_.resize_shard(grown[g].first, grown[g].second, stored_hash());
      });
      if (stop_requested()) return false;
      lo = hi;
    }
    return true;
  }

  void run_level(ChildGenerator& generator, NextParents& next_parents, LevelFront& front,
                 std::optional<Ranked>& best) {
    clock_ = PhaseClock();
    const double entries = expected_entries(generator.total());
    require_level_memory(entries);
    // Room for the level's expected entries at once, so that the tables are
    // not rebuilt again and again while the level runs.
    const auto per_shard = static_cast<std::size_t>(entries / (range_.last - range_.first));
    const bool grown = grow_seen_set([&](std::size_t) { return per_shard; }, 0);
    clock_.lap(part_.phases.admission);
    if (!grown) return;

    PhaseClock& clock = clock_;
    while (true) {
      generator.fill(block_.children, kBlock);
      clock.lap(part_.phases.generation);
      if (block_.children.empty()) break;
      if (stop_requested()) break;
      part_.generated += block_.children.size();
      block_.reserve_for_children();
      require_memory(generator.partner_bytes() + next_parents.bytes() + block_.bytes());
      if (!admit_block(generator.partner_bytes() + next_parents.bytes())) break;
      part_.admitted += block_.admitted.size();
      const std::size_t slice = std::max<std::size_t>(1, kRowsPerSlice / std::max<std::size_t>(rows_, 1));
      for (std::size_t lo = 0; lo < block_.admitted.size(); lo += slice) {
        const std::size_t hi = std::min(block_.admitted.size(), lo + slice);
        if (lo > 0 && stop_requested()) break;
        if (options_.scaling) {
          score_scaled_slice(lo, hi, scoring_bound(next_parents), next_parents.unscaled_bound(), front);
        } else {
          score_slice(lo, hi, scoring_bound(next_parents), front);
        }
        clock.lap(part_.phases.scoring);
        part_.scored +=
            reduce_slice(lo, hi, part_.generated - block_.children.size(), next_parents, front, best);
        clock.lap(part_.phases.merging);
      }
      if (part_.cut_short) break;
    }
  }

  // Fingerprints the block in parallel, then admits its children of this
  // search's shards shard by shard: each shard's entries are inserted in
  // generation order by one thread, so the first of several equal children is
  // the one admitted, whatever the number of threads. block_.admitted lists
  // the admitted positions in order. False when the poll asked to stop while
  // the seen set grew; `other_bytes` is what the level holds besides the seen
  // set and the parents.
  bool admit_block(std::uint64_t other_bytes) {
    const std::size_t n = block_.children.size();
    block_.probes.resize(n);
    block_.hashes.resize(n);
    block_.owned.assign(n, 0);
    zor::pool::for_each_piece(n, kFingerprintGrain, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t k = lo; k < hi; ++k) {
        if (child_probes(parents_, block_.children[k], block_.probes[k])) {
          block_.hashes[k] = SeenSet::hash(block_.probes[k]);
          block_.owned[k] = range_.owns(SeenSet::shard_of(block_.hashes[k])) ? 1 : 0;
        }
      }
    });
    clock_.lap(part_.phases.fingerprints);

    // Owned children in order of the top bits of their hash, stably, so that
    // equal fingerprints keep their generation order: each shard's table is
    // then swept in ascending address order instead of at random.
    block_.bucket_start.assign(kOrderBuckets + 1, 0);
    for (std::size_t k = 0; k < n; ++k) {
      if (block_.owned[k]) ++block_.bucket_start[order_bucket(block_.hashes[k]) + 1];
    }
    for (std::size_t b = 0; b < kOrderBuckets; ++b) block_.bucket_start[b + 1] += block_.bucket_start[b];
    block_.order.resize(block_.bucket_start[kOrderBuckets]);
    {
      std::vector<std::uint32_t> next(block_.bucket_start.begin(), block_.bucket_start.end() - 1);
      for (std::size_t k = 0; k < n; ++k) {
        if (block_.owned[k])
          block_.order[next[order_bucket(block_.hashes[k])]++] = static_cast<std::uint32_t>(k);
      }
    }

    // Grow every shard beforehand, so that insertion never allocates.
    auto incoming = [&](std::size_t shard) {
      return block_.bucket_start[(shard + 1) * kBucketsPerShard] -
             block_.bucket_start[shard * kBucketsPerShard];
    };
    if (!grow_seen_set(incoming, other_bytes + block_.bytes())) return false;

    block_.inserted.assign(n, 0);
    zor::pool::for_each_piece(range_.last - range_.first, 1, [&](std::size_t lo, std::size_t hi) {
      const std::size_t end = block_.bucket_start[(range_.first + hi) * kBucketsPerShard];
      // The entries are still far apart: ask for the slots of the next few
      // while this one is inserted.
      constexpr std::size_t kAhead = 64;
      for (std::size_t r = block_.bucket_start[(range_.first + lo) * kBucketsPerShard]; r < end; ++r) {
        if (r + kAhead < end) seen_.prefetch(block_.hashes[block_.order[r + kAhead]]);
        const std::uint32_t k = block_.order[r];
        auto same = [&](std::uint64_t key) {
          ProbeValues stored{};
          key_values(parents_, key, stored);
          return same_bits(stored, block_.probes[k]);
        };
        block_.inserted[k] =
            seen_.insert_if_absent(block_.hashes[k], child_key(block_.children[k]), same) ? 1 : 0;
      }
    });
    block_.admitted.clear();
    for (std::size_t k = 0; k < n; ++k) {
      if (block_.inserted[k]) block_.admitted.push_back(static_cast<std::uint32_t>(k));
    }
    clock_.lap(part_.phases.admission);
    block_.outcomes.resize(block_.admitted.size());
    block_.ranked.resize(block_.admitted.size());
    block_.front_sizes.resize(block_.admitted.size());
    return true;
  }

  // score_slice for the scaled search: both scores of every child, with its
  // fit. `bound` is the scaled score, `unscaled_bound` the unscaled one,
  // above which a child is of no use.
  void score_scaled_slice(std::size_t lo, std::size_t hi, double bound, double unscaled_bound,
                          const LevelFront& front) {
    const double penalty = options_.complexity_penalty;
    const std::size_t grain = std::max<std::size_t>(1, kRowsPerPiece / std::max<std::size_t>(rows_, 1));
    zor::pool::for_each_piece(hi - lo, grain, [&](std::size_t a, std::size_t b) {
      std::vector<double> values(rows_);
      for (std::size_t r = lo + a; r < lo + b; ++r) {
        const Child& child = block_.children[block_.admitted[r]];
        const std::uint64_t tokens = child_complexity(parents_, child);
        const double unscaled_factor = static_cast<double>(tokens) * penalty + 1.0;
        auto factor = [&](bool constant) {
          return static_cast<double>(scaled_size(tokens, constant)) * penalty + 1.0;
        };
        // The smaller factor of the two model sizes keeps the bound safe.
        const double least_factor = std::min(factor(true), factor(false));
        // A constant model never enters the front: its score is the seeds'
        // constant model's, bit for bit, and ties keep the earlier.
        const double child_bound =
            keep_front_ ? std::max(bound, front.bound(scaled_size(tokens, false))) : bound;
        double unscaled_sse = 0.0;
        AffineFit fit{};
        block_.outcomes[r] =
            child_scaled(parents_, child, rows_, y_.data(), targets_, unscaled_factor, unscaled_bound,
                         least_factor, child_bound, values.data(), unscaled_sse, fit);
        if (block_.outcomes[r] != Scoring::Scored) continue;
        Ranked& ranked = block_.ranked[r];
        ranked.rmse = std::sqrt(fit.sse / targets_.m);
        ranked.score = ranked.rmse * factor(fit.constant);
        ranked.child = child;
        ranked.unscaled_score = std::sqrt(unscaled_sse / targets_.m) * unscaled_factor;
        ranked.scale = fit.scale;
        ranked.offset = fit.offset;
        ranked.shape = fit.constant ? 0 : affine_class(block_.probes[block_.admitted[r]]);
        ranked.size = scaled_size(tokens, fit.constant);
        block_.front_sizes[r] = ranked.size;
      }
    });
  }

  // Scores block_.admitted[lo, hi) in parallel. `bound`: a score above which a
  // child cannot become best or parent (nor, with the front, enter it).
  void score_slice(std::size_t lo, std::size_t hi, double bound, const LevelFront& front) {
    const double m = static_cast<double>(y_.size());
    const std::size_t grain = std::max<std::size_t>(1, kRowsPerPiece / std::max<std::size_t>(rows_, 1));
    zor::pool::for_each_piece(hi - lo, grain, [&](std::size_t a, std::size_t b) {
      for (std::size_t r = lo + a; r < lo + b; ++r) {
        const Child& child = block_.children[block_.admitted[r]];
        const std::uint64_t size = child_complexity(parents_, child);
        const double factor = static_cast<double>(size) * options_.complexity_penalty + 1.0;
        const double child_bound = keep_front_ ? std::max(bound, front.bound(size)) : bound;
        double sse = 0.0;
        block_.outcomes[r] =
            child_sse(parents_, child, rows_, y_.data(), compared_, m, factor, child_bound, sse);
        if (block_.outcomes[r] != Scoring::Scored) continue;
        const double rmse = std::sqrt(sse / m);
        Ranked& ranked = block_.ranked[r];
        ranked.rmse = rmse;
        ranked.score = rmse * factor;
        ranked.child = child;
        block_.front_sizes[r] = size;
      }
    });
  }

  double scoring_bound(const NextParents& next_parents) const {
    const double best = best_score_ ? score_bound(*best_score_) : std::numeric_limits<double>::infinity();
    return std::max(best, next_parents.bound());
  }

  // Folds block_.admitted[lo, hi) into the best, the front and the parents, in
  // generation order; returns how many scored. `base` is the level's
  // generation index of the block's first child.
  std::uint64_t reduce_slice(std::size_t lo, std::size_t hi, std::uint64_t base, NextParents& next_parents,
                             LevelFront& front, std::optional<Ranked>& best) {
    std::uint64_t count = 0;
    for (std::size_t r = lo; r < hi; ++r) {
      if (block_.outcomes[r] != Scoring::Scored) continue;
      ++count;
      Ranked& ranked = block_.ranked[r];
      ranked.seq = base + block_.admitted[r];
      if (!best_score_ || replaces(*best_score_, ranked.score)) {
        best_score_ = ranked.score;
        best = ranked;
      }
      if (keep_front_) front.offer(block_.front_sizes[r], ranked);
      next_parents.offer(ranked);
    }
    return count;
  }

  const std::vector<double>& y_;
  const SearchOptions& options_;
  const ShardRange range_;
  const bool keep_front_;
  const std::size_t rows_;
  const std::size_t compared_;
  const std::vector<OpCode> unary_;
  const std::vector<OpCode> binary_;
  std::unique_ptr<ParentStore> own_parents_;
  ParentStore& parents_;
  const std::function<PollAnswer()> poll_;
  const std::uint64_t memory_limit_;
  TargetSummary targets_;  // scaled search only
  SeenSet seen_;
  Block block_;
  LevelPart part_;
  PhaseClock clock_;
  std::optional<double> best_score_;
  std::uint64_t last_generated_ = 0;  // children of the last expanded level
  std::uint64_t last_admitted_ = 0;   // of those, the ones this search admitted
};

ShardSearch::ShardSearch(const Columns& columns, const std::vector<double>& y, const SearchOptions& options,
                         ShardRange range, bool keep_front, ParentStore* shared_parents,
                         std::function<PollAnswer()> poll, std::uint64_t memory_limit)
    : impl_(std::make_unique<Impl>(columns, y, options, range, keep_front, shared_parents, std::move(poll),
                                   memory_limit)) {}

ShardSearch::~ShardSearch() = default;

LevelPart ShardSearch::expand(const LevelStart& start) { return impl_->expand(start); }

std::uint64_t ShardSearch::bytes() const { return impl_->bytes(); }

}  // namespace zor::discover
