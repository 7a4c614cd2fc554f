// The beam search as find_formula runs it. It visits the same candidates in
// the same order as reference_beam_search and reaches the same result bit for
// bit, but a child is only an (operator, left, right) triple over parent
// positions until it is kept: its probe values and its values on the data are
// the operator applied to its parents' stored values, which is exactly what
// evaluating its token sequence computes (the parents' own operator results
// are known to be finite there, or they would not be parents), and its tokens
// and text are built only for the parents of the next level and the best.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "core/discover/child_generator.hpp"
#include "core/discover/child_scoring.hpp"
#include "core/discover/fingerprint.hpp"
#include "core/discover/ops.hpp"
#include "core/discover/parent_store.hpp"
#include "core/discover/ranked_children.hpp"
#include "core/discover/render.hpp"
#include "core/discover/scaled_fit.hpp"
#include "core/discover/search.hpp"
#include "core/discover/search_detail.hpp"
#include "core/discover/seen_key.hpp"
#include "core/discover/seen_set.hpp"
#include "core/memory.hpp"
#include "core/numeric.hpp"
#include "core/pool.hpp"

namespace zor::discover {

namespace {

using namespace detail;

// Children admitted together: large enough to keep both phases of admission
// parallel, small enough that polls come every few milliseconds.
constexpr std::size_t kBlock = std::size_t{1} << 17;
constexpr std::size_t kFingerprintGrain = 1024;
// Admission inserts a block's children sorted by this many top bits of their
// hash: the shard bits, then the leading bits of the first slot.
constexpr unsigned kOrderBits = SeenSet::kShardBits + 4;
constexpr std::size_t kOrderBuckets = std::size_t{1} << kOrderBits;

std::size_t order_bucket(std::uint64_t hash) { return static_cast<std::size_t>(hash >> (64 - kOrderBits)); }
// Row evaluations between two polls while a block is scored.
constexpr std::size_t kRowsPerSlice = std::size_t{1} << 20;
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
  std::vector<std::uint8_t> valid;
  std::vector<std::uint8_t> inserted;
  std::vector<std::uint32_t> bucket_start;  // kOrderBuckets + 1 offsets into order
  std::vector<std::uint32_t> order;         // valid children by order_bucket, stably
  std::vector<std::uint32_t> admitted;      // positions of the admitted children
  std::vector<double> scores;               // per admitted child
  std::vector<double> rmses;
  std::vector<Scoring> outcomes;
  // The scaled search's per admitted child: unscaled score and fit.
  std::vector<double> unscaled_scores;
  std::vector<AffineFit> fits;

  // Takes at once the room that admitting and scoring the current children
  // needs, so that bytes() counts it before it is used.
  void reserve_for_children() {
    const std::size_t n = children.size();
    probes.reserve(n);
    hashes.reserve(n);
    valid.reserve(n);
    inserted.reserve(n);
    bucket_start.reserve(kOrderBuckets + 1);
    order.reserve(n);
    admitted.reserve(n);
    scores.reserve(n);
    rmses.reserve(n);
    outcomes.reserve(n);
    if (scaled) {
      unscaled_scores.reserve(n);
      fits.reserve(n);
    }
  }
  bool scaled = false;

  std::uint64_t bytes() const {
    return held(children) + held(probes) + held(hashes) + held(valid) + held(inserted) + held(bucket_start) +
           held(order) + held(admitted) + held(scores) + held(rmses) + held(outcomes) +
           held(unscaled_scores) + held(fits);
  }

 private:
  template <class T>
  static std::uint64_t held(const std::vector<T>& v) {
    return v.capacity() * sizeof(T);
  }
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
        compared_(std::min(rows_, y.size())),
        unary_(unary_operators(options)),
        binary_(binary_operators(options)),
        parents_(rows_, options.use_zor, options.scaled),
        memory_limit_(control.memory_limit != 0 ? control.memory_limit : default_memory_limit()),
        start_(std::chrono::steady_clock::now()) {
    if (options.scaled) {
      targets_ = TargetSummary(y, rows_);
      probe_rows_ = data_probe_rows(columns);
      block_.scaled = true;
    }
  }

  SearchOutcome run() {
    if (seed_level()) return finish();
    std::size_t first_new = 0;
    for (std::uint64_t level = 2; level <= options_.max_complexity; ++level) {
      if (stop_requested()) return finish();
      const std::size_t parents_before = parents_.size();
      const LevelEnd end = expand(level, first_new);
      if (end != LevelEnd::Continue) return finish();
      first_new = parents_before;
    }
    return finish();
  }

 private:
  enum class LevelEnd { Continue, Done };

  // True when the control asks to stop; throws Cancelled when it cancels.
  bool stop_requested() {
    if (!control_.poll) return false;
    const PollAnswer answer = control_.poll();
    if (answer == PollAnswer::Cancel) throw Cancelled();
    if (answer == PollAnswer::Stop) outcome_.cut_short = true;
    return outcome_.cut_short;
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

  // Entries a level of `children` is expected to add to the seen set: the
  // share of its children the previous level admitted.
  double expected_entries(std::uint64_t children) const {
    const double share = last_generated_ > 0 ? static_cast<double>(last_admitted_) / last_generated_ : 1.0;
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

  // Grows every shard to room for extra_of(shard) more entries, one shard at
  // a time with a poll after each rebuilt one, after checking that the
  // growth fits the memory limit. False when the control asks to stop.
  template <class ExtraOf>
  bool grow_seen_set(ExtraOf&& extra_of, std::uint64_t other_bytes) {
    std::uint64_t growth = 0;
    std::uint64_t largest = 0;
    for (std::size_t s = 0; s < SeenSet::kShards; ++s) {
      const std::uint64_t needed = seen_.slots_needed(s, extra_of(s)) * SeenSet::kSlotBytes;
      growth += needed - seen_.slots(s) * SeenSet::kSlotBytes;
      largest = std::max(largest, needed);
    }
    if (growth == 0) return true;
    // While a table is rebuilt, its old slots are still held.
    require_memory(growth + largest + other_bytes);
    for (std::size_t s = 0; s < SeenSet::kShards; ++s) {
      const std::size_t needed = seen_.slots_needed(s, extra_of(s));
      if (needed == seen_.slots(s)) continue;
      seen_.resize_shard(s, needed, stored_hash());
      if (stop_requested()) return false;
    }
    return true;
  }

  // Level 1: the constants 0 and 1, then one variable per column, scored by
  // the literal scoring. True when the search ends here.
  bool seed_level() {
    std::vector<Expr> seeds = {Expr{{Token::constant(0.0)}}, Expr{{Token::constant(1.0)}}};
    for (std::size_t k = 0; k < columns_.size(); ++k) seeds.push_back(Expr{{Token::var(k)}});
    std::vector<Expr> admitted;
    std::vector<ProbeValues> admitted_probes;
    if (seeds.size() > kMaxMembers) throw SearchMemoryExceeded(memory_message(kMaxMembers, 0));
    // Seed keys name the parent positions the seeds are about to take.
    auto seed_hash = [&](std::uint64_t key) { return SeenSet::hash(admitted_probes[key_member(key)]); };
    for (const Expr& seed : seeds) {
      const std::optional<ProbeValues> probes = seed_probes(seed);
      if (!probes) continue;
      const std::uint64_t h = SeenSet::hash(*probes);
      const std::size_t shard = SeenSet::shard_of(h);
      seen_.resize_shard(shard, seen_.slots_needed(shard, 1), seed_hash);
      auto same = [&](std::uint64_t key) { return same_bits(admitted_probes[key_member(key)], *probes); };
      if (seen_.insert_if_absent(h, member_key(admitted.size()), same)) {
        admitted.push_back(seed);
        admitted_probes.push_back(*probes);
      }
    }
    require_memory(admitted.size() * parents_.bytes_per_member());

    std::vector<ScoredCandidate> scored;
    for (const Expr& seed : admitted) {
      std::optional<ScoredCandidate> s =
          options_.scaled ? score_scaled_seed(seed) : score_candidate(seed, columns_, y_, options_);
      if (s) scored.push_back(std::move(*s));
    }
    outcome_.generated += seeds.size();
    outcome_.admitted += admitted.size();
    outcome_.scored += scored.size();
    update_best(outcome_.best, scored);
    if (outcome_.best) best_score_ = outcome_.best->score;
    if (control_.keep_front) {
      for (const ScoredCandidate& s : scored) front_.offer(s);
    }

    // Every seed is a parent of level 2, whatever its score.
    parents_.reserve(admitted.size());
    for (std::size_t i = 0; i < admitted.size(); ++i) {
      const Token leaf = admitted[i].tokens.front();
      parents_.add(std::move(admitted[i]), admitted_probes[i], [&](double* out) {
        if (leaf.kind == TokenKind::Var) {
          std::copy_n(columns_[leaf.index()].begin(), rows_, out);
        } else {
          std::fill_n(out, rows_, leaf.value());
        }
      });
    }
    report(1, seeds.size(), admitted.size(), scored.size());
    return reached_goal(outcome_.best, options_);
  }

  // A seed's values at the probes: the fixed probe points, or in the scaled
  // search the probe rows of the data.
  std::optional<ProbeValues> seed_probes(const Expr& seed) const {
    if (!options_.scaled) return probe_values(seed, columns_.size());
    const Token leaf = seed.tokens.front();
    if (leaf.kind == TokenKind::Var) return probe_rows_[leaf.index()];
    ProbeValues constant{};
    constant.fill(leaf.value());
    return constant;
  }

  std::optional<ScoredCandidate> score_scaled_seed(const Expr& seed) const {
    const Token leaf = seed.tokens.front();
    std::vector<double> values(rows_, leaf.kind == TokenKind::Var ? 0.0 : leaf.value());
    if (leaf.kind == TokenKind::Var) values = columns_[leaf.index()];
    const std::optional<AffineFit> fit = fit_affine(values.data(), y_.data(), targets_);
    if (!fit) return std::nullopt;
    ScoredCandidate scored;
    scored.expression = seed;
    scored.formula = render_formula(seed);
    scored.complexity = scaled_size(1, fit->constant);
    scored.rmse = std::sqrt(fit->sse / targets_.m);
    scored.score = scored.rmse * (static_cast<double>(scored.complexity) * options_.complexity_penalty + 1.0);
    scored.scale = fit->scale;
    scored.offset = fit->offset;
    return scored;
  }

  // One level of children; Done when the search ends with it.
  LevelEnd expand(std::uint64_t level, std::size_t first_new) {
    ChildGenerator generator(parents_.complexities(), first_new, unary_, binary_, options_.max_complexity);
    NextParents next_parents(options_.beam_width / 4, options_.scaled);
    const double entries = expected_entries(generator.total());
    require_level_memory(entries);
    // Room for the level's expected entries at once, so that the tables are
    // not rebuilt again and again while the level runs.
    const auto per_shard = static_cast<std::size_t>(entries / SeenSet::kShards);
    if (!grow_seen_set([&](std::size_t) { return per_shard; }, 0)) return LevelEnd::Done;
    std::uint64_t generated = 0;
    std::uint64_t admitted = 0;
    std::uint64_t scored = 0;

    while (true) {
      const auto admission_start = std::chrono::steady_clock::now();
      generator.fill(block_.children, kBlock);
      if (block_.children.empty()) break;
      if (stop_requested()) break;
      generated += block_.children.size();
      block_.reserve_for_children();
      require_memory(generator.partner_bytes() + next_parents.bytes() + block_.bytes());
      if (!admit_block(generator.partner_bytes() + next_parents.bytes())) break;
      outcome_.admission_seconds +=
          std::chrono::duration<double>(std::chrono::steady_clock::now() - admission_start).count();
      admitted += block_.admitted.size();
      const std::size_t slice = std::max<std::size_t>(1, kRowsPerSlice / std::max<std::size_t>(rows_, 1));
      for (std::size_t lo = 0; lo < block_.admitted.size(); lo += slice) {
        const std::size_t hi = std::min(block_.admitted.size(), lo + slice);
        if (lo > 0 && stop_requested()) break;
        if (options_.scaled) {
          score_scaled_slice(lo, hi, scoring_bound(next_parents), next_parents.unscaled_bound());
        } else {
          score_slice(lo, hi, scoring_bound(next_parents));
        }
        scored += reduce_slice(lo, hi, generated - block_.children.size(), next_parents);
      }
      if (outcome_.cut_short) break;
    }
    outcome_.generated += generated;
    outcome_.admitted += admitted;
    last_generated_ = generated;
    last_admitted_ = admitted;
    outcome_.scored += scored;
    if (admitted == 0 || outcome_.cut_short) return LevelEnd::Done;

    settle_level();
    report(level, generated, admitted, scored);
    if (reached_goal(outcome_.best, options_)) return LevelEnd::Done;

    std::vector<Ranked> chosen = next_parents.take_in_order();
    if (parents_.size() + chosen.size() > kMaxMembers)
      throw SearchMemoryExceeded(memory_message(kMaxMembers, 0));
    require_memory(chosen.size() * parents_.bytes_per_member());
    parents_.reserve(chosen.size());
    const std::size_t per_poll = std::max<std::size_t>(1, kRowsPerSlice / std::max<std::size_t>(rows_, 1));
    for (std::size_t r = 0; r < chosen.size(); ++r) {
      const Ranked& ranked = chosen[r];
      if (r % per_poll == per_poll - 1 && stop_requested()) return LevelEnd::Done;
      ProbeValues probes{};
      child_probes(parents_, ranked.child, probes);
      parents_.add(child_expr(parents_, ranked.child), probes,
                   [&](double* out) { child_values(parents_, ranked.child, rows_, out); });
    }
    return LevelEnd::Continue;
  }

  // Fingerprints the block in parallel, then admits it shard by shard: each
  // shard's entries are inserted in generation order by one thread, so the
  // first of several equal children is the one admitted, whatever the number
  // of threads. block_.admitted lists the admitted positions in order. False when
  // the control asked to stop while the seen set grew; `other_bytes` is what
  // the level holds besides the seen set and the parents.
  bool admit_block(std::uint64_t other_bytes) {
    const std::size_t n = block_.children.size();
    block_.probes.resize(n);
    block_.hashes.resize(n);
    block_.valid.assign(n, 0);
    zor::pool::for_each_piece(n, kFingerprintGrain, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t k = lo; k < hi; ++k) {
        if (child_probes(parents_, block_.children[k], block_.probes[k])) {
          block_.hashes[k] = SeenSet::hash(block_.probes[k]);
          block_.valid[k] = 1;
        }
      }
    });

    // Valid children in order of the top bits of their hash, stably, so that
    // equal fingerprints keep their generation order: each shard's table is
    // then swept in ascending address order instead of at random.
    block_.bucket_start.assign(kOrderBuckets + 1, 0);
    for (std::size_t k = 0; k < n; ++k) {
      if (block_.valid[k]) ++block_.bucket_start[order_bucket(block_.hashes[k]) + 1];
    }
    for (std::size_t b = 0; b < kOrderBuckets; ++b) block_.bucket_start[b + 1] += block_.bucket_start[b];
    block_.order.resize(block_.bucket_start[kOrderBuckets]);
    {
      std::vector<std::uint32_t> next(block_.bucket_start.begin(), block_.bucket_start.end() - 1);
      for (std::size_t k = 0; k < n; ++k) {
        if (block_.valid[k])
          block_.order[next[order_bucket(block_.hashes[k])]++] = static_cast<std::uint32_t>(k);
      }
    }

    // Grow every shard beforehand, so that insertion never allocates.
    constexpr std::size_t kBucketsPerShard = kOrderBuckets / SeenSet::kShards;
    auto incoming = [&](std::size_t shard) {
      return block_.bucket_start[(shard + 1) * kBucketsPerShard] -
             block_.bucket_start[shard * kBucketsPerShard];
    };
    if (!grow_seen_set(incoming, other_bytes + block_.bytes())) return false;

    block_.inserted.assign(n, 0);
    zor::pool::for_each_piece(SeenSet::kShards, 1, [&](std::size_t lo, std::size_t hi) {
      const std::size_t end = block_.bucket_start[hi * kBucketsPerShard];
      // The entries are still far apart: ask for the slots of the next few
      // while this one is inserted.
      constexpr std::size_t kAhead = 64;
      for (std::size_t r = block_.bucket_start[lo * kBucketsPerShard]; r < end; ++r) {
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
    block_.scores.resize(block_.admitted.size());
    block_.rmses.resize(block_.admitted.size());
    if (options_.scaled) {
      block_.unscaled_scores.resize(block_.admitted.size());
      block_.fits.resize(block_.admitted.size());
    }
    return true;
  }

  // score_slice for the scaled search: both scores of every child, with its
  // fit. `bound` is the scaled score, `unscaled_bound` the unscaled one,
  // above which a child is of no use.
  void score_scaled_slice(std::size_t lo, std::size_t hi, double bound, double unscaled_bound) {
    block_.outcomes.resize(block_.admitted.size());
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
            control_.keep_front ? std::max(bound, front_.bound(scaled_size(tokens, false))) : bound;
        double unscaled_sse = 0.0;
        AffineFit& fit = block_.fits[r];
        block_.outcomes[r] =
            child_scaled(parents_, child, rows_, y_.data(), targets_, unscaled_factor, unscaled_bound,
                         least_factor, child_bound, values.data(), unscaled_sse, fit);
        if (block_.outcomes[r] != Scoring::Scored) continue;
        block_.unscaled_scores[r] = std::sqrt(unscaled_sse / targets_.m) * unscaled_factor;
        block_.rmses[r] = std::sqrt(fit.sse / targets_.m);
        block_.scores[r] = block_.rmses[r] * factor(fit.constant);
      }
    });
  }

  // Scores block_.admitted[lo, hi) in parallel. `bound`: a score above which a
  // child cannot become best or parent (nor, with the front, enter it).
  void score_slice(std::size_t lo, std::size_t hi, double bound) {
    block_.outcomes.resize(block_.admitted.size());
    const double m = static_cast<double>(y_.size());
    const std::size_t grain = std::max<std::size_t>(1, kRowsPerPiece / std::max<std::size_t>(rows_, 1));
    zor::pool::for_each_piece(hi - lo, grain, [&](std::size_t a, std::size_t b) {
      for (std::size_t r = lo + a; r < lo + b; ++r) {
        const Child& child = block_.children[block_.admitted[r]];
        const std::uint64_t size = child_complexity(parents_, child);
        const double factor = static_cast<double>(size) * options_.complexity_penalty + 1.0;
        const double child_bound = control_.keep_front ? std::max(bound, front_.bound(size)) : bound;
        double sse = 0.0;
        block_.outcomes[r] =
            child_sse(parents_, child, rows_, y_.data(), compared_, m, factor, child_bound, sse);
        if (block_.outcomes[r] != Scoring::Scored) continue;
        const double rmse = std::sqrt(sse / m);
        block_.rmses[r] = rmse;
        block_.scores[r] = rmse * factor;
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
  std::uint64_t reduce_slice(std::size_t lo, std::size_t hi, std::uint64_t base, NextParents& next_parents) {
    std::uint64_t count = 0;
    for (std::size_t r = lo; r < hi; ++r) {
      if (block_.outcomes[r] != Scoring::Scored) continue;
      ++count;
      Ranked ranked{block_.scores[r], block_.rmses[r], base + block_.admitted[r],
                    block_.children[block_.admitted[r]]};
      if (options_.scaled) {
        const AffineFit& fit = block_.fits[r];
        ranked.unscaled_score = block_.unscaled_scores[r];
        ranked.scale = fit.scale;
        ranked.offset = fit.offset;
        ranked.shape = fit.constant ? 0 : affine_class(block_.probes[block_.admitted[r]]);
        ranked.size = scaled_size(child_complexity(parents_, ranked.child), fit.constant);
      }
      if (!best_score_ || replaces(*best_score_, ranked.score)) {
        best_score_ = ranked.score;
        pending_best_ = ranked;
      }
      if (control_.keep_front) {
        front_.offer(ranked.size != 0 ? ranked.size : child_complexity(parents_, ranked.child), ranked);
      }
      next_parents.offer(ranked);
    }
    return count;
  }

  // Builds the tokens and text of the level's winners, so that the level
  // report and the outcome carry them.
  void settle_level() {
    if (pending_best_) {
      outcome_.best = materialize(parents_, *pending_best_);
      pending_best_.reset();
    }
    if (control_.keep_front) front_.settle(parents_);
  }

  void report(std::uint64_t level, std::uint64_t generated, std::uint64_t admitted, std::uint64_t scored) {
    if (!control_.on_level) return;
    LevelReport r;
    r.level = level;
    r.generated = generated;
    r.admitted = admitted;
    r.scored = scored;
    r.best = outcome_.best ? &*outcome_.best : nullptr;
    r.elapsed_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    control_.on_level(r);
  }

  SearchOutcome finish() {
    settle_level();
    if (control_.keep_front) outcome_.front = front_.take();
    return std::move(outcome_);
  }

  const Columns& columns_;
  const std::vector<double>& y_;
  const SearchOptions& options_;
  const SearchControl& control_;
  const std::size_t rows_;
  const std::size_t compared_;
  const std::vector<OpCode> unary_;
  const std::vector<OpCode> binary_;
  ParentStore parents_;
  TargetSummary targets_;                // scaled search only
  std::vector<ProbeValues> probe_rows_;  // scaled search only: per variable
  SeenSet seen_;
  Front front_;
  const std::uint64_t memory_limit_;
  const std::chrono::steady_clock::time_point start_;
  SearchOutcome outcome_;
  std::optional<Ranked> pending_best_;  // this level's best so far, when it beats outcome_.best
  std::optional<double> best_score_;
  std::uint64_t last_generated_ = 0;  // children of the last expanded level
  std::uint64_t last_admitted_ = 0;   // score of the best so far

  Block block_;
};

}  // namespace

SearchOutcome beam_search(const Columns& columns, const std::vector<double>& y, const SearchOptions& options,
                          const SearchControl& control) {
  if (const std::optional<std::string> problem = validate_columns(columns)) {
    throw std::invalid_argument(*problem);
  }
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
