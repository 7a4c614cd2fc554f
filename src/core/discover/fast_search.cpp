// The beam search as find_formula runs it. It visits the same candidates in
// the same order as reference_beam_search and reaches the same result bit for
// bit, but a child is only an (operator, left, right) triple over pool
// positions until it is kept: its probe values and its values on the data are
// the operator applied to its parents' stored values, which is exactly what
// evaluating its token sequence computes (the parents' own operator results
// are known to be finite there, or they would not be parents), and its tokens
// and text are built only for the parents of the next level and the best.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "core/discover/fingerprint.hpp"
#include "core/discover/ops.hpp"
#include "core/discover/probe_set.hpp"
#include "core/discover/render.hpp"
#include "core/discover/search.hpp"
#include "core/discover/search_detail.hpp"
#include "core/memory.hpp"
#include "core/pool.hpp"

namespace zor::discover {

namespace {

using namespace detail;

// Children admitted together: large enough to keep both phases of admission
// parallel, small enough that polls come every few milliseconds.
constexpr std::size_t kBlock = std::size_t{1} << 15;
constexpr std::size_t kFingerprintGrain = 1024;
// Row evaluations between two polls while a block is scored.
constexpr std::size_t kRowsPerSlice = std::size_t{1} << 20;
// Row evaluations below which a piece of a scoring slice is not split.
constexpr std::size_t kRowsPerPiece = std::size_t{1} << 14;

using PoolIndex = std::uint32_t;
constexpr std::size_t kMaxPool = std::numeric_limits<PoolIndex>::max();

// A child before it is kept: the operator applied to pool members `left`
// and, for binary operators, `right` (the right operand).
struct Child {
  PoolIndex left;
  PoolIndex right;
  OpCode op;
};

// The parents of every expansion, with what a child needs of them: tokens,
// size, probe values and one value per sample.
class Pool {
 public:
  explicit Pool(std::size_t rows) : rows_(rows) {}

  std::size_t size() const { return exprs_.size(); }
  const Expr& expr(std::size_t i) const { return exprs_[i]; }
  std::uint64_t complexity(std::size_t i) const { return complexity_[i]; }
  const ProbeValues& probes(std::size_t i) const { return probes_[i]; }
  const double* values(std::size_t i) const { return values_.data() + i * rows_; }
  std::uint64_t max_complexity() const { return max_complexity_; }

  // Makes room for `extra` members so that values() pointers stay valid
  // while they are added.
  void reserve(std::size_t extra) {
    exprs_.reserve(size() + extra);
    complexity_.reserve(size() + extra);
    probes_.reserve(size() + extra);
    values_.reserve((size() + extra) * rows_);
  }

  // Appends a member; `fill(out)` writes its rows_ values.
  template <class Fill>
  void add(Expr expr, const ProbeValues& probes, Fill&& fill) {
    token_bytes_ += expr.tokens.capacity() * sizeof(Token) + sizeof(Expr);
    max_complexity_ = std::max<std::uint64_t>(max_complexity_, expr.tokens.size());
    complexity_.push_back(expr.tokens.size());
    exprs_.push_back(std::move(expr));
    probes_.push_back(probes);
    values_.resize(values_.size() + rows_);
    fill(values_.data() + values_.size() - rows_);
  }

  static std::uint64_t bytes_per_member(std::size_t rows) {
    return sizeof(std::uint64_t) + sizeof(ProbeValues) + rows * sizeof(double);
  }
  std::uint64_t bytes() const {
    return token_bytes_ + values_.capacity() * sizeof(double) + probes_.capacity() * sizeof(ProbeValues) +
           complexity_.capacity() * sizeof(std::uint64_t);
  }

 private:
  std::size_t rows_;
  std::vector<Expr> exprs_;
  std::vector<std::uint64_t> complexity_;
  std::vector<ProbeValues> probes_;
  std::vector<double> values_;
  std::uint64_t token_bytes_ = 0;
  std::uint64_t max_complexity_ = 0;
};

PoolIndex right_operand(const Child& child) { return arity(child.op) == 2 ? child.right : child.left; }

std::uint64_t child_complexity(const Pool& pool, const Child& child) {
  const std::uint64_t right = arity(child.op) == 2 ? pool.complexity(child.right) : 0;
  return pool.complexity(child.left) + right + 1;
}

Expr child_expr(const Pool& pool, const Child& child) {
  const std::vector<Token>& left = pool.expr(child.left).tokens;
  Expr expr;
  expr.tokens.reserve(child_complexity(pool, child));
  expr.tokens.assign(left.begin(), left.end());
  if (arity(child.op) == 2) {
    const std::vector<Token>& right = pool.expr(child.right).tokens;
    expr.tokens.insert(expr.tokens.end(), right.begin(), right.end());
  }
  expr.tokens.push_back(Token::op_token(child.op));
  return expr;
}

// The child's values at the probe points; false when it has no fingerprint.
bool child_probes(const Pool& pool, const Child& child, ProbeValues& out) {
  const ProbeValues& a = pool.probes(child.left);
  const ProbeValues& b = pool.probes(right_operand(child));
  return dispatch_op(child.op, false, [&](auto op) {
    for (std::size_t j = 0; j < out.size(); ++j) {
      if (!apply_op<op.value>(a[j], b[j], out[j]) || !finite_value(out[j])) return false;
    }
    return true;
  });
}

// The child's value at every sample; false when it fails at one.
bool child_values(const Pool& pool, const Child& child, std::size_t rows, double* out) {
  const double* a = pool.values(child.left);
  const double* b = pool.values(right_operand(child));
  return dispatch_op(child.op, false, [&](auto op) {
    for (std::size_t i = 0; i < rows; ++i) {
      if (!apply_op<op.value>(a[i], b[i], out[i]) || !finite_value(out[i])) return false;
    }
    return true;
  });
}

// Sum of squared errors over the first `compared` samples, accumulated in
// sample order from -0.0 as the literal scoring does; false when the child
// fails at any of the `rows` samples.
bool child_sse(const Pool& pool, const Child& child, std::size_t rows, const double* y, std::size_t compared,
               double& sse) {
  const double* a = pool.values(child.left);
  const double* b = pool.values(right_operand(child));
  return dispatch_op(child.op, false, [&](auto op) {
    double sum = -0.0;
    double v = 0.0;
    std::size_t i = 0;
    for (; i < compared; ++i) {
      if (!apply_op<op.value>(a[i], b[i], v) || !finite_value(v)) return false;
      const double diff = v - y[i];
      sum += diff * diff;
    }
    for (; i < rows; ++i) {
      if (!apply_op<op.value>(a[i], b[i], v) || !finite_value(v)) return false;
    }
    sse = sum;
    return true;
  });
}

// A scored child as the level's reductions keep it; `seq` is its place in
// the level's generation order.
struct Ranked {
  double score;
  double rmse;
  std::uint64_t seq;
  Child child;
};

bool ranked_before(const Ranked& a, const Ranked& b) { return ranks_before(a.score, a.seq, b.score, b.seq); }

ScoredCandidate materialize(const Pool& pool, const Ranked& ranked) {
  ScoredCandidate scored;
  scored.expression = child_expr(pool, ranked.child);
  scored.formula = render_formula(scored.expression);
  scored.score = ranked.score;
  scored.rmse = ranked.rmse;
  scored.complexity = scored.expression.tokens.size();
  return scored;
}

// Enumerates a level's children in generation order, without those whose
// parents were all in the pool at the previous level.
//
// Why skipping them is exact: the size test does not depend on the level, so
// every such child was already put through admission at the previous level.
// Either it had no fingerprint then, and has none now, or its fingerprint
// went into the seen set then (admitted, or found already there), and the
// set only grows: admission rejects it again. Leaving out candidates that
// admission rejects changes neither which candidates are admitted nor their
// order. At level 2 no member is old (level 1 generated nothing).
class ChildGenerator {
 public:
  ChildGenerator(const Pool& pool, std::size_t first_new, const std::vector<OpCode>& unary,
                 const std::vector<OpCode>& binary, std::uint64_t max_complexity)
      : pool_(pool),
        unary_(unary),
        binary_(binary),
        max_complexity_(max_complexity),
        member_(first_new),
        row_(first_new) {
    build_partner_lists();
    start_row();
  }

  // Number of children per binary partner: one per operator, two for those
  // built in both operand orders.
  static std::uint64_t children_per_pair(const std::vector<OpCode>& binary) {
    std::uint64_t count = 0;
    for (OpCode op : binary) count += builds_both_orders(op) ? 2 : 1;
    return count;
  }

  // How many children fill() hands out in all, counted without generating.
  std::uint64_t total() const {
    std::uint64_t partners = 0;
    for (std::size_t i = row_; i < pool_.size(); ++i) partners += partner_count(i);
    return (pool_.size() - member_) * unary_.size() + partners * children_per_pair(binary_);
  }

  std::uint64_t partner_bytes() const {
    std::uint64_t total = 0;
    for (const std::vector<PoolIndex>& list : partner_lists_) total += list.capacity() * sizeof(PoolIndex);
    return total;
  }

  // Replaces `out` by the next children, at most `capacity` of them; empty
  // when the level has none left.
  void fill(std::vector<Child>& out, std::size_t capacity) {
    out.clear();
    const std::size_t size = pool_.size();
    while (out.size() < capacity && member_ < size) {
      out.push_back(Child{PoolIndex(member_), PoolIndex(member_), unary_[op_]});
      if (++op_ == unary_.size()) {
        op_ = 0;
        ++member_;
      }
    }
    while (out.size() < capacity && row_ < size) {
      if (position_ == partner_end_) {
        ++row_;
        start_row();
        continue;
      }
      const PoolIndex partner = partners_ != nullptr ? (*partners_)[position_] : PoolIndex(position_);
      const OpCode op = binary_[op_];
      if (!reversed_) {
        out.push_back(Child{PoolIndex(row_), partner, op});
        if (builds_both_orders(op)) {
          reversed_ = true;
          continue;
        }
      } else {
        out.push_back(Child{partner, PoolIndex(row_), op});
        reversed_ = false;
      }
      if (++op_ == binary_.size()) {
        op_ = 0;
        ++position_;
      }
    }
  }

 private:
  // partner_lists_[t] holds, in pool order, the members of complexity below
  // t, for every t at which that is not the whole pool.
  void build_partner_lists() {
    const std::uint64_t largest = std::min(pool_.max_complexity(), max_complexity_);
    partner_lists_.resize(static_cast<std::size_t>(largest) + 1);
    for (std::size_t j = 0; j < pool_.size(); ++j) {
      for (std::uint64_t t = pool_.complexity(j) + 1; t <= largest; ++t) {
        partner_lists_[t].push_back(static_cast<PoolIndex>(j));
      }
    }
  }

  // Partners of row i: members j <= i with complexity(i) + complexity(j) <
  // max_complexity, which is the size test.
  const std::vector<PoolIndex>* partners_of(std::size_t i, std::size_t& count) const {
    const std::uint64_t ci = pool_.complexity(i);
    count = 0;
    if (ci >= max_complexity_) return nullptr;
    const std::uint64_t limit = max_complexity_ - ci;
    if (limit >= partner_lists_.size()) {
      count = i + 1;
      return nullptr;
    }
    const std::vector<PoolIndex>& list = partner_lists_[limit];
    count = static_cast<std::size_t>(std::upper_bound(list.begin(), list.end(), PoolIndex(i)) - list.begin());
    return &list;
  }

  std::size_t partner_count(std::size_t i) const {
    std::size_t count = 0;
    partners_of(i, count);
    return count;
  }

  void start_row() {
    position_ = 0;
    partner_end_ = 0;
    partners_ = nullptr;
    if (row_ < pool_.size()) partners_ = partners_of(row_, partner_end_);
  }

  const Pool& pool_;
  const std::vector<OpCode>& unary_;
  const std::vector<OpCode>& binary_;
  std::uint64_t max_complexity_;
  std::vector<std::vector<PoolIndex>> partner_lists_;
  std::size_t member_;  // next member for unary children
  std::size_t row_;     // left member of the current binary row
  const std::vector<PoolIndex>* partners_ = nullptr;  // null: partners are 0..row_
  std::size_t position_ = 0;
  std::size_t partner_end_ = 0;
  std::size_t op_ = 0;
  bool reversed_ = false;
};

// Per complexity, the best scored candidate: kept materialized between levels
// and as a triple while a level runs.
class Front {
 public:
  void offer(std::uint64_t complexity, const Ranked& ranked) {
    if (complexity >= slots_.size()) slots_.resize(complexity + 1);
    Slot& slot = slots_[complexity];
    if (!slot.present || replaces(slot.score, ranked.score)) {
      slot.present = true;
      slot.score = ranked.score;
      slot.pending = ranked;
    }
  }

  void offer(const ScoredCandidate& scored) {
    if (scored.complexity >= slots_.size()) slots_.resize(scored.complexity + 1);
    Slot& slot = slots_[scored.complexity];
    if (!slot.present || replaces(slot.score, scored.score)) {
      slot.present = true;
      slot.score = scored.score;
      slot.kept = scored;
      slot.pending.reset();
    }
  }

  // Builds the tokens and text of this level's winners; needed before the
  // pool members they refer to could change meaning (they never do, but the
  // level's triples are dropped).
  void settle(const Pool& pool) {
    for (Slot& slot : slots_) {
      if (!slot.pending) continue;
      slot.kept = materialize(pool, *slot.pending);
      slot.pending.reset();
    }
  }

  std::vector<ScoredCandidate> take() {
    std::vector<ScoredCandidate> front;
    for (Slot& slot : slots_) {
      if (slot.present) front.push_back(std::move(slot.kept));
    }
    return front;
  }

 private:
  struct Slot {
    bool present = false;
    double score = 0.0;
    ScoredCandidate kept;
    std::optional<Ranked> pending;
  };
  std::vector<Slot> slots_;
};

// The first `limit` scored children of a level in rank order, kept in a heap
// whose top is the worst of them.
class TopParents {
 public:
  explicit TopParents(std::uint64_t limit) : limit_(limit) {}

  void offer(const Ranked& ranked) {
    if (limit_ == 0) return;
    if (heap_.size() < limit_) {
      heap_.push_back(ranked);
      std::push_heap(heap_.begin(), heap_.end(), ranked_before);
    } else if (ranked_before(ranked, heap_.front())) {
      std::pop_heap(heap_.begin(), heap_.end(), ranked_before);
      heap_.back() = ranked;
      std::push_heap(heap_.begin(), heap_.end(), ranked_before);
    }
  }

  std::uint64_t bytes() const { return heap_.capacity() * sizeof(Ranked); }

  std::vector<Ranked> take_in_order() {
    std::sort_heap(heap_.begin(), heap_.end(), ranked_before);
    return std::exchange(heap_, {});
  }

 private:
  std::uint64_t limit_;
  std::vector<Ranked> heap_;
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
        pool_(rows_),
        memory_limit_(control.memory_limit != 0 ? control.memory_limit : available_memory_bytes() / 10 * 8),
        start_(std::chrono::steady_clock::now()) {}

  SearchOutcome run() {
    if (seed_level()) return finish();
    std::size_t first_new = 0;
    for (std::uint64_t level = 2; level <= options_.max_complexity; ++level) {
      if (stop_requested()) return finish();
      const std::size_t parents_before = pool_.size();
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

  void require_memory(std::uint64_t extra) const {
    const std::uint64_t held = seen_.bytes() + pool_.bytes() + extra;
    if (held > memory_limit_) throw SearchMemoryExceeded(memory_message());
  }

  // Level 1: the constants 0 and 1, then one variable per column, scored by
  // the literal scoring. True when the search ends here.
  bool seed_level() {
    std::vector<Expr> seeds = {Expr{{Token::constant(0.0)}}, Expr{{Token::constant(1.0)}}};
    for (std::size_t k = 0; k < columns_.size(); ++k) seeds.push_back(Expr{{Token::var(k)}});
    std::vector<Expr> admitted;
    std::vector<ProbeValues> admitted_probes;
    for (const Expr& seed : seeds) {
      const std::optional<ProbeValues> probes = probe_values(seed, columns_.size());
      if (!probes) continue;
      const std::uint64_t h = ProbeSet::hash(*probes);
      const std::size_t shard = ProbeSet::shard_of(h);
      seen_.resize_shard(shard, seen_.slots_needed(shard, 1));
      if (seen_.insert_if_absent(*probes, h)) {
        admitted.push_back(seed);
        admitted_probes.push_back(*probes);
      }
    }
    if (admitted.size() > kMaxPool) throw SearchMemoryExceeded(memory_message());
    require_memory(admitted.size() * Pool::bytes_per_member(rows_));

    std::vector<ScoredCandidate> scored;
    for (const Expr& seed : admitted) {
      if (std::optional<ScoredCandidate> s = score_candidate(seed, columns_, y_, options_)) {
        scored.push_back(std::move(*s));
      }
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
    pool_.reserve(admitted.size());
    for (std::size_t i = 0; i < admitted.size(); ++i) {
      const Token leaf = admitted[i].tokens.front();
      pool_.add(std::move(admitted[i]), admitted_probes[i], [&](double* out) {
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

  // One level of children; Done when the search ends with it.
  LevelEnd expand(std::uint64_t level, std::size_t first_new) {
    ChildGenerator generator(pool_, first_new, unary_, binary_, options_.max_complexity);
    TopParents parents(options_.beam_width / 4);
    std::uint64_t generated = 0;
    std::uint64_t admitted = 0;
    std::uint64_t scored = 0;

    while (true) {
      generator.fill(block_, kBlock);
      if (block_.empty()) break;
      if (stop_requested()) break;
      generated += block_.size();
      require_memory(generator.partner_bytes() + parents.bytes() + block_bytes());
      admit_block();
      admitted += admitted_.size();
      const std::size_t slice = std::max<std::size_t>(1, kRowsPerSlice / std::max<std::size_t>(rows_, 1));
      for (std::size_t lo = 0; lo < admitted_.size(); lo += slice) {
        const std::size_t hi = std::min(admitted_.size(), lo + slice);
        if (lo > 0 && stop_requested()) break;
        score_slice(lo, hi);
        scored += reduce_slice(lo, hi, generated - block_.size(), parents);
      }
      if (outcome_.cut_short) break;
    }
    outcome_.generated += generated;
    outcome_.admitted += admitted;
    outcome_.scored += scored;
    if (admitted == 0 || outcome_.cut_short) return LevelEnd::Done;

    settle_level();
    report(level, generated, admitted, scored);
    if (reached_goal(outcome_.best, options_)) return LevelEnd::Done;

    std::vector<Ranked> chosen = parents.take_in_order();
    if (pool_.size() + chosen.size() > kMaxPool) throw SearchMemoryExceeded(memory_message());
    require_memory(chosen.size() * Pool::bytes_per_member(rows_));
    pool_.reserve(chosen.size());
    for (const Ranked& ranked : chosen) {
      ProbeValues probes{};
      child_probes(pool_, ranked.child, probes);
      pool_.add(child_expr(pool_, ranked.child), probes,
                [&](double* out) { child_values(pool_, ranked.child, rows_, out); });
    }
    return LevelEnd::Continue;
  }

  std::uint64_t block_bytes() const {
    return kBlock * (sizeof(Child) + sizeof(ProbeValues) + sizeof(std::uint64_t) + 2 + sizeof(std::uint32_t) +
                     2 * sizeof(double));
  }

  // Fingerprints the block in parallel, then admits it shard by shard: each
  // shard's entries are inserted in generation order by one thread, so the
  // first of several equal children is the one admitted, whatever the number
  // of threads. admitted_ lists the admitted positions in order.
  void admit_block() {
    const std::size_t n = block_.size();
    probes_.resize(n);
    hashes_.resize(n);
    valid_.assign(n, 0);
    zor::pool::for_each_piece(n, kFingerprintGrain, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t k = lo; k < hi; ++k) {
        if (child_probes(pool_, block_[k], probes_[k])) {
          hashes_[k] = ProbeSet::hash(probes_[k]);
          valid_[k] = 1;
        }
      }
    });

    // Grow every shard beforehand, so that insertion never allocates.
    std::array<std::size_t, ProbeSet::kShards> incoming{};
    for (std::size_t k = 0; k < n; ++k) {
      if (valid_[k]) ++incoming[ProbeSet::shard_of(hashes_[k])];
    }
    std::uint64_t growth = 0;
    for (std::size_t s = 0; s < ProbeSet::kShards; ++s) {
      growth += seen_.slots_needed(s, incoming[s]) * ProbeSet::kSlotBytes;
    }
    require_memory(growth + block_bytes());
    for (std::size_t s = 0; s < ProbeSet::kShards; ++s) seen_.resize_shard(s, seen_.slots_needed(s, incoming[s]));

    inserted_.assign(n, 0);
    zor::pool::for_each_piece(ProbeSet::kShards, 1, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t k = 0; k < n; ++k) {
        if (!valid_[k]) continue;
        const std::size_t shard = ProbeSet::shard_of(hashes_[k]);
        if (shard >= lo && shard < hi) inserted_[k] = seen_.insert_if_absent(probes_[k], hashes_[k]) ? 1 : 0;
      }
    });
    admitted_.clear();
    for (std::size_t k = 0; k < n; ++k) {
      if (inserted_[k]) admitted_.push_back(static_cast<std::uint32_t>(k));
    }
    scores_.resize(admitted_.size());
    rmses_.resize(admitted_.size());
  }

  // Scores admitted_[lo, hi) in parallel; a child failing on the data gets a
  // NaN rmse marker in failed_.
  void score_slice(std::size_t lo, std::size_t hi) {
    failed_.resize(admitted_.size());
    const double m = static_cast<double>(y_.size());
    const std::size_t grain = std::max<std::size_t>(1, kRowsPerPiece / std::max<std::size_t>(rows_, 1));
    zor::pool::for_each_piece(hi - lo, grain, [&](std::size_t a, std::size_t b) {
      for (std::size_t r = lo + a; r < lo + b; ++r) {
        const Child& child = block_[admitted_[r]];
        double sse = 0.0;
        if (!child_sse(pool_, child, rows_, y_.data(), compared_, sse)) {
          failed_[r] = 1;
          continue;
        }
        failed_[r] = 0;
        const double rmse = std::sqrt(sse / m);
        const double factor = static_cast<double>(child_complexity(pool_, child)) * options_.complexity_penalty + 1.0;
        rmses_[r] = rmse;
        scores_[r] = rmse * factor;
      }
    });
  }

  // Folds admitted_[lo, hi) into the best, the front and the parents, in
  // generation order; returns how many scored. `base` is the level's
  // generation index of the block's first child.
  std::uint64_t reduce_slice(std::size_t lo, std::size_t hi, std::uint64_t base, TopParents& parents) {
    std::uint64_t count = 0;
    for (std::size_t r = lo; r < hi; ++r) {
      if (failed_[r]) continue;
      ++count;
      const Ranked ranked{scores_[r], rmses_[r], base + admitted_[r], block_[admitted_[r]]};
      if (!best_score_ || replaces(*best_score_, ranked.score)) {
        best_score_ = ranked.score;
        pending_best_ = ranked;
      }
      if (control_.keep_front) front_.offer(child_complexity(pool_, ranked.child), ranked);
      parents.offer(ranked);
    }
    return count;
  }

  // Builds the tokens and text of the level's winners while their parents'
  // positions are still the ones their triples refer to.
  void settle_level() {
    if (pending_best_) {
      outcome_.best = materialize(pool_, *pending_best_);
      pending_best_.reset();
    }
    if (control_.keep_front) front_.settle(pool_);
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
  Pool pool_;
  ProbeSet seen_;
  Front front_;
  const std::uint64_t memory_limit_;
  const std::chrono::steady_clock::time_point start_;
  SearchOutcome outcome_;
  std::optional<Ranked> pending_best_;  // this level's best so far, when it beats outcome_.best
  std::optional<double> best_score_;    // score of the best so far

  // The current block and what admission and scoring computed for it.
  std::vector<Child> block_;
  std::vector<ProbeValues> probes_;
  std::vector<std::uint64_t> hashes_;
  std::vector<std::uint8_t> valid_;
  std::vector<std::uint8_t> inserted_;
  std::vector<std::uint32_t> admitted_;
  std::vector<double> scores_;
  std::vector<double> rmses_;
  std::vector<std::uint8_t> failed_;
};

}  // namespace

SearchOutcome beam_search(const Columns& columns, const std::vector<double>& y, const SearchOptions& options,
                          const SearchControl& control) {
  if (const std::optional<std::string> problem = validate_columns(columns)) {
    throw std::invalid_argument(*problem);
  }
  return FastSearch(columns, y, options, control).run();
}

}  // namespace zor::discover
