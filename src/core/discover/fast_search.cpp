// The beam search as find_formula runs it. It visits the same candidates in
// the same order as reference_beam_search and reaches the same result bit for
// bit, but a child is only an (operator, left, right) triple over pool
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
#include <memory>
#include <stdexcept>
#include <utility>

#include "core/discover/fingerprint.hpp"
#include "core/discover/ops.hpp"
#include "core/discover/render.hpp"
#include "core/discover/search.hpp"
#include "core/discover/search_detail.hpp"
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

using PoolIndex = std::uint32_t;
// Seen-set keys: 4 bits of operator code plus one (so that no key is 0), or
// kMemberCode for a pool member itself (the seeds), then kIndexBits for each
// operand's pool position.
constexpr unsigned kIndexBits = (SeenSet::kKeyBits - 4) / 2;
constexpr std::uint64_t kIndexMask = (std::uint64_t{1} << kIndexBits) - 1;
constexpr std::size_t kMaxPool = kIndexMask;
constexpr std::uint64_t kMemberCode = 15;

// A child before it is kept: the operator applied to pool members `left`
// and, for binary operators, `right` (the right operand).
struct Child {
  PoolIndex left;
  PoolIndex right;
  OpCode op;
};

// The parents of every expansion, with what a child needs of them: tokens,
// size, and the values at the probe points and at every sample. With the zor
// operator, each member also keeps safe_exp and safe_ln of those values: zor
// computes exactly these two terms and subtracts them, so a zor child costs
// one subtraction per value instead of an exp and a log.
class Pool {
 public:
  // Where a child's operands come from: the plain values, or for zor the
  // left member's exponential terms and the right member's logarithm terms.
  enum class Terms { Value, Exp, Ln };

  Pool(std::size_t rows, bool zor_terms) : rows_(rows), zor_terms_(zor_terms) {}

  std::size_t size() const { return exprs_.size(); }
  const Expr& expr(std::size_t i) const { return exprs_[i]; }
  std::uint64_t complexity(std::size_t i) const { return complexity_[i]; }
  std::uint64_t max_complexity() const { return max_complexity_; }
  const ProbeValues& probes(std::size_t i, Terms terms = Terms::Value) const {
    return probes_[i * term_kinds() + static_cast<std::size_t>(terms)];
  }
  const double* values(std::size_t i, Terms terms = Terms::Value) const {
    return rows_of_[i] + static_cast<std::size_t>(terms) * rows_;
  }

  // Makes room for `extra` members. Each call takes one new block for their
  // values, so the values of earlier members never move.
  void reserve(std::size_t extra) {
    blocks_.push_back(std::make_unique_for_overwrite<double[]>(extra * term_kinds() * rows_));
    next_ = blocks_.back().get();
    block_end_ = next_ + extra * term_kinds() * rows_;
    value_bytes_ += extra * term_kinds() * rows_ * sizeof(double);
  }

  // Appends a member within the room of the last reserve(); `fill(out)`
  // writes its rows_ values.
  template <class Fill>
  void add(Expr expr, const ProbeValues& probes, Fill&& fill) {
    if (next_ + term_kinds() * rows_ > block_end_) throw std::logic_error("pool member added without room");
    token_bytes_ += expr.tokens.capacity() * sizeof(Token) + sizeof(Expr);
    max_complexity_ = std::max<std::uint64_t>(max_complexity_, expr.tokens.size());
    complexity_.push_back(expr.tokens.size());
    exprs_.push_back(std::move(expr));
    double* values = next_;
    next_ += term_kinds() * rows_;
    rows_of_.push_back(values);
    fill(values);
    probes_.push_back(probes);
    if (!zor_terms_) return;
    double* exp_terms = values + rows_;
    double* ln_terms = values + 2 * rows_;
    for (std::size_t i = 0; i < rows_; ++i) {
      exp_terms[i] = safe_exp(values[i]);
      ln_terms[i] = safe_ln(values[i]);
    }
    ProbeValues exp_probes{};
    ProbeValues ln_probes{};
    for (std::size_t j = 0; j < probes.size(); ++j) {
      exp_probes[j] = safe_exp(probes[j]);
      ln_probes[j] = safe_ln(probes[j]);
    }
    probes_.push_back(exp_probes);
    probes_.push_back(ln_probes);
  }

  std::uint64_t bytes_per_member() const {
    return sizeof(std::uint64_t) + sizeof(double*) +
           term_kinds() * (sizeof(ProbeValues) + rows_ * sizeof(double));
  }
  std::uint64_t bytes() const {
    return token_bytes_ + value_bytes_ + complexity_.capacity() * sizeof(std::uint64_t) +
           rows_of_.capacity() * sizeof(double*) + probes_.capacity() * sizeof(ProbeValues);
  }

 private:
  std::size_t term_kinds() const { return zor_terms_ ? 3 : 1; }

  std::size_t rows_;
  bool zor_terms_;
  std::vector<Expr> exprs_;
  std::vector<std::uint64_t> complexity_;
  std::vector<ProbeValues> probes_;  // term_kinds() per member
  std::vector<const double*> rows_of_;
  std::vector<std::unique_ptr<double[]>> blocks_;
  double* next_ = nullptr;
  double* block_end_ = nullptr;
  std::uint64_t token_bytes_ = 0;
  std::uint64_t value_bytes_ = 0;
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

// The operator as applied to the terms the pool hands out for it: zor reads
// the precomputed exponential and logarithm terms and only subtracts them.
template <OpCode Op>
inline bool apply_to_terms(double a, double b, double& out) {
  if constexpr (Op == OpCode::Zor) {
    out = a - b;
    return true;
  } else {
    return apply_op<Op>(a, b, out);
  }
}

// Calls body(op tag, left operand terms, right operand terms) for the child;
// `pick(member, terms)` fetches a member's values or probe values.
template <class Pick, class Body>
bool with_operands(const Child& child, Pick&& pick, Body&& body) {
  if (child.op == OpCode::Zor) {
    return body(std::integral_constant<OpCode, OpCode::Zor>{}, pick(child.left, Pool::Terms::Exp),
                pick(child.right, Pool::Terms::Ln));
  }
  const auto a = pick(child.left, Pool::Terms::Value);
  const auto b = pick(right_operand(child), Pool::Terms::Value);
  return dispatch_op(child.op, false, [&](auto op) { return body(op, a, b); });
}

// The child's values at the probe points; false when it has no fingerprint.
bool child_probes(const Pool& pool, const Child& child, ProbeValues& out) {
  auto pick = [&](PoolIndex member, Pool::Terms terms) { return pool.probes(member, terms).data(); };
  return with_operands(child, pick, [&](auto op, const double* a, const double* b) {
    for (std::size_t j = 0; j < out.size(); ++j) {
      if (!apply_to_terms<op.value>(a[j], b[j], out[j]) || !finite_value(out[j])) return false;
    }
    return true;
  });
}

// The child's value at every sample; false when it fails at one.
bool child_values(const Pool& pool, const Child& child, std::size_t rows, double* out) {
  auto pick = [&](PoolIndex member, Pool::Terms terms) { return pool.values(member, terms); };
  return with_operands(child, pick, [&](auto op, const double* a, const double* b) {
    for (std::size_t i = 0; i < rows; ++i) {
      if (!apply_to_terms<op.value>(a[i], b[i], out[i]) || !finite_value(out[i])) return false;
    }
    return true;
  });
}

enum class Scoring : std::uint8_t { Scored, Failed, RuledOut };

// Rows between two checks of the partial error against the bound.
constexpr std::size_t kCheckRows = 16;

// Sum of squared errors over the first `compared` samples, accumulated in
// sample order from -0.0 as the literal scoring does. Failed when the child
// fails at any of the `rows` samples. RuledOut as soon as the penalised rmse
// of a partial sum exceeds `bound` (with a positive factor): the remaining
// squares can only raise the sum, and the square root, the division by m and
// the product with a positive factor never lower it, so its final score
// would exceed the bound too.
Scoring child_sse(const Pool& pool, const Child& child, std::size_t rows, const double* y,
                  std::size_t compared, double m, double factor, double bound, double& sse) {
  auto pick = [&](PoolIndex member, Pool::Terms terms) { return pool.values(member, terms); };
  if (!(factor > 0.0)) bound = std::numeric_limits<double>::infinity();
  auto over = [&](double sum) { return std::sqrt(sum / m) * factor > bound; };
  Scoring result = Scoring::Scored;
  with_operands(child, pick, [&](auto op, const double* a, const double* b) {
    double sum = -0.0;
    double v = 0.0;
    std::size_t i = 0;
    while (i < compared) {
      const std::size_t stop = std::min(compared, i + kCheckRows);
      for (; i < stop; ++i) {
        if (!apply_to_terms<op.value>(a[i], b[i], v) || !finite_value(v)) {
          result = Scoring::Failed;
          return false;
        }
        const double diff = v - y[i];
        sum += diff * diff;
      }
      if (over(sum)) {
        result = Scoring::RuledOut;
        return false;
      }
    }
    for (; i < rows; ++i) {
      if (!apply_to_terms<op.value>(a[i], b[i], v) || !finite_value(v)) {
        result = Scoring::Failed;
        return false;
      }
    }
    sse = sum;
    return true;
  });
  return result;
}

std::uint64_t child_key(const Child& child) {
  return (static_cast<std::uint64_t>(child.op) + 1) << (2 * kIndexBits) |
         static_cast<std::uint64_t>(child.left) << kIndexBits | child.right;
}

std::uint64_t member_key(std::size_t member) { return kMemberCode << (2 * kIndexBits) | member; }

bool same_bits(const ProbeValues& a, const ProbeValues& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The probe values of the candidate named by a seen-set key.
void key_values(const Pool& pool, std::uint64_t key, ProbeValues& out) {
  const std::uint64_t code = key >> (2 * kIndexBits);
  if (code == kMemberCode) {
    out = pool.probes(static_cast<std::size_t>(key & kIndexMask));
    return;
  }
  const Child stored{static_cast<PoolIndex>(key >> kIndexBits & kIndexMask),
                     static_cast<PoolIndex>(key & kIndexMask), static_cast<OpCode>(code - 1)};
  child_probes(pool, stored, out);
}

// A scored child as the level's reductions keep it; `seq` is its place in
// the level's generation order.
struct Ranked {
  double score;
  double rmse;
  std::uint64_t seq;
  Child child;
};

// A score above which nothing replaces a holder of `held`: a NaN is never
// replaced.
double score_bound(double held) { return std::isnan(held) ? -std::numeric_limits<double>::infinity() : held; }

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
  std::size_t member_;                                // next member for unary children
  std::size_t row_;                                   // left member of the current binary row
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

  // Builds the tokens and text of the winners still held as triples.
  void settle(const Pool& pool) {
    for (Slot& slot : slots_) {
      if (!slot.pending) continue;
      slot.kept = materialize(pool, *slot.pending);
      slot.pending.reset();
    }
  }

  // A score above which a child of this complexity cannot enter the front.
  double bound(std::uint64_t complexity) const {
    if (complexity >= slots_.size() || !slots_[complexity].present)
      return std::numeric_limits<double>::infinity();
    return score_bound(slots_[complexity].score);
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

  // A score above which a child cannot become a parent.
  double bound() const {
    if (limit_ == 0) return -std::numeric_limits<double>::infinity();
    if (heap_.size() < limit_ || std::isnan(heap_.front().score))
      return std::numeric_limits<double>::infinity();
    return heap_.front().score;
  }

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
        pool_(rows_, options.use_zor),
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

  // Recomputes the hash of a stored seen-set key when a table grows.
  auto stored_hash() const {
    return [this](std::uint64_t key) {
      ProbeValues values{};
      key_values(pool_, key, values);
      return SeenSet::hash(values);
    };
  }

  void require_memory(std::uint64_t extra) const {
    const std::uint64_t held = seen_.bytes() + pool_.bytes() + extra;
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
        static_cast<double>(pool_.bytes());
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
    if (seeds.size() > kMaxPool) throw SearchMemoryExceeded(memory_message(kMaxPool, 0));
    // Seed keys name the pool positions the seeds are about to take.
    auto seed_hash = [&](std::uint64_t key) { return SeenSet::hash(admitted_probes[key & kIndexMask]); };
    for (const Expr& seed : seeds) {
      const std::optional<ProbeValues> probes = probe_values(seed, columns_.size());
      if (!probes) continue;
      const std::uint64_t h = SeenSet::hash(*probes);
      const std::size_t shard = SeenSet::shard_of(h);
      seen_.resize_shard(shard, seen_.slots_needed(shard, 1), seed_hash);
      auto same = [&](std::uint64_t key) { return same_bits(admitted_probes[key & kIndexMask], *probes); };
      if (seen_.insert_if_absent(h, member_key(admitted.size()), same)) {
        admitted.push_back(seed);
        admitted_probes.push_back(*probes);
      }
    }
    require_memory(admitted.size() * pool_.bytes_per_member());

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
      generator.fill(block_, kBlock);
      if (block_.empty()) break;
      if (stop_requested()) break;
      generated += block_.size();
      require_memory(generator.partner_bytes() + parents.bytes() + block_bytes());
      if (!admit_block(generator.partner_bytes() + parents.bytes())) break;
      outcome_.admission_seconds +=
          std::chrono::duration<double>(std::chrono::steady_clock::now() - admission_start).count();
      admitted += admitted_.size();
      const std::size_t slice = std::max<std::size_t>(1, kRowsPerSlice / std::max<std::size_t>(rows_, 1));
      for (std::size_t lo = 0; lo < admitted_.size(); lo += slice) {
        const std::size_t hi = std::min(admitted_.size(), lo + slice);
        if (lo > 0 && stop_requested()) break;
        score_slice(lo, hi, scoring_bound(parents));
        scored += reduce_slice(lo, hi, generated - block_.size(), parents);
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

    std::vector<Ranked> chosen = parents.take_in_order();
    if (pool_.size() + chosen.size() > kMaxPool) throw SearchMemoryExceeded(memory_message(kMaxPool, 0));
    require_memory(chosen.size() * pool_.bytes_per_member());
    pool_.reserve(chosen.size());
    const std::size_t per_poll = std::max<std::size_t>(1, kRowsPerSlice / std::max<std::size_t>(rows_, 1));
    for (std::size_t r = 0; r < chosen.size(); ++r) {
      const Ranked& ranked = chosen[r];
      if (r % per_poll == per_poll - 1 && stop_requested()) return LevelEnd::Done;
      ProbeValues probes{};
      child_probes(pool_, ranked.child, probes);
      pool_.add(child_expr(pool_, ranked.child), probes,
                [&](double* out) { child_values(pool_, ranked.child, rows_, out); });
    }
    return LevelEnd::Continue;
  }

  std::uint64_t block_bytes() const {
    return kBlock * (sizeof(Child) + sizeof(ProbeValues) + sizeof(std::uint64_t) + 2 +
                     2 * sizeof(std::uint32_t) + 2 * sizeof(double));
  }

  // Fingerprints the block in parallel, then admits it shard by shard: each
  // shard's entries are inserted in generation order by one thread, so the
  // first of several equal children is the one admitted, whatever the number
  // of threads. admitted_ lists the admitted positions in order. False when
  // the control asked to stop while the seen set grew; `other_bytes` is what
  // the level holds besides the seen set and the pool.
  bool admit_block(std::uint64_t other_bytes) {
    const std::size_t n = block_.size();
    probes_.resize(n);
    hashes_.resize(n);
    valid_.assign(n, 0);
    zor::pool::for_each_piece(n, kFingerprintGrain, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t k = lo; k < hi; ++k) {
        if (child_probes(pool_, block_[k], probes_[k])) {
          hashes_[k] = SeenSet::hash(probes_[k]);
          valid_[k] = 1;
        }
      }
    });

    // Valid children in order of the top bits of their hash, stably, so that
    // equal fingerprints keep their generation order: each shard's table is
    // then swept in ascending address order instead of at random.
    bucket_start_.assign(kOrderBuckets + 1, 0);
    for (std::size_t k = 0; k < n; ++k) {
      if (valid_[k]) ++bucket_start_[order_bucket(hashes_[k]) + 1];
    }
    for (std::size_t b = 0; b < kOrderBuckets; ++b) bucket_start_[b + 1] += bucket_start_[b];
    order_.resize(bucket_start_[kOrderBuckets]);
    {
      std::vector<std::uint32_t> next(bucket_start_.begin(), bucket_start_.end() - 1);
      for (std::size_t k = 0; k < n; ++k) {
        if (valid_[k]) order_[next[order_bucket(hashes_[k])]++] = static_cast<std::uint32_t>(k);
      }
    }

    // Grow every shard beforehand, so that insertion never allocates.
    constexpr std::size_t kBucketsPerShard = kOrderBuckets / SeenSet::kShards;
    auto incoming = [&](std::size_t shard) {
      return bucket_start_[(shard + 1) * kBucketsPerShard] - bucket_start_[shard * kBucketsPerShard];
    };
    if (!grow_seen_set(incoming, other_bytes + block_bytes())) return false;

    inserted_.assign(n, 0);
    zor::pool::for_each_piece(SeenSet::kShards, 1, [&](std::size_t lo, std::size_t hi) {
      const std::size_t end = bucket_start_[hi * kBucketsPerShard];
      // The entries are still far apart: ask for the slots of the next few
      // while this one is inserted.
      constexpr std::size_t kAhead = 64;
      for (std::size_t r = bucket_start_[lo * kBucketsPerShard]; r < end; ++r) {
        if (r + kAhead < end) seen_.prefetch(hashes_[order_[r + kAhead]]);
        const std::uint32_t k = order_[r];
        auto same = [&](std::uint64_t key) {
          ProbeValues stored{};
          key_values(pool_, key, stored);
          return same_bits(stored, probes_[k]);
        };
        inserted_[k] = seen_.insert_if_absent(hashes_[k], child_key(block_[k]), same) ? 1 : 0;
      }
    });
    admitted_.clear();
    for (std::size_t k = 0; k < n; ++k) {
      if (inserted_[k]) admitted_.push_back(static_cast<std::uint32_t>(k));
    }
    scores_.resize(admitted_.size());
    rmses_.resize(admitted_.size());
    return true;
  }

  // Scores admitted_[lo, hi) in parallel. `bound`: a score above which a
  // child cannot become best or parent (nor, with the front, enter it).
  void score_slice(std::size_t lo, std::size_t hi, double bound) {
    outcomes_.resize(admitted_.size());
    const double m = static_cast<double>(y_.size());
    const std::size_t grain = std::max<std::size_t>(1, kRowsPerPiece / std::max<std::size_t>(rows_, 1));
    zor::pool::for_each_piece(hi - lo, grain, [&](std::size_t a, std::size_t b) {
      for (std::size_t r = lo + a; r < lo + b; ++r) {
        const Child& child = block_[admitted_[r]];
        const std::uint64_t size = child_complexity(pool_, child);
        const double factor = static_cast<double>(size) * options_.complexity_penalty + 1.0;
        const double child_bound = control_.keep_front ? std::max(bound, front_.bound(size)) : bound;
        double sse = 0.0;
        outcomes_[r] = child_sse(pool_, child, rows_, y_.data(), compared_, m, factor, child_bound, sse);
        if (outcomes_[r] != Scoring::Scored) continue;
        const double rmse = std::sqrt(sse / m);
        rmses_[r] = rmse;
        scores_[r] = rmse * factor;
      }
    });
  }

  double scoring_bound(const TopParents& parents) const {
    const double best = best_score_ ? score_bound(*best_score_) : std::numeric_limits<double>::infinity();
    return std::max(best, parents.bound());
  }

  // Folds admitted_[lo, hi) into the best, the front and the parents, in
  // generation order; returns how many scored. `base` is the level's
  // generation index of the block's first child.
  std::uint64_t reduce_slice(std::size_t lo, std::size_t hi, std::uint64_t base, TopParents& parents) {
    std::uint64_t count = 0;
    for (std::size_t r = lo; r < hi; ++r) {
      if (outcomes_[r] != Scoring::Scored) continue;
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

  // Builds the tokens and text of the level's winners, so that the level
  // report and the outcome carry them.
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
  SeenSet seen_;
  Front front_;
  const std::uint64_t memory_limit_;
  const std::chrono::steady_clock::time_point start_;
  SearchOutcome outcome_;
  std::optional<Ranked> pending_best_;  // this level's best so far, when it beats outcome_.best
  std::optional<double> best_score_;
  std::uint64_t last_generated_ = 0;  // children of the last expanded level
  std::uint64_t last_admitted_ = 0;   // score of the best so far

  // The current block and what admission and scoring computed for it.
  std::vector<Child> block_;
  std::vector<ProbeValues> probes_;
  std::vector<std::uint64_t> hashes_;
  std::vector<std::uint8_t> valid_;
  std::vector<std::uint8_t> inserted_;
  std::vector<std::uint32_t> bucket_start_;  // kOrderBuckets + 1 offsets into order_
  std::vector<std::uint32_t> order_;         // valid children by order_bucket, stably
  std::vector<std::uint32_t> admitted_;
  std::vector<double> scores_;
  std::vector<double> rmses_;
  std::vector<Scoring> outcomes_;
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
