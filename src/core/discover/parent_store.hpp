// The fast search's parents: every candidate that children are built from,
// with what a child needs of them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/discover/child_generator.hpp"
#include "core/discover/dimensions.hpp"
#include "core/discover/expr.hpp"
#include "core/discover/fingerprint.hpp"
#include "core/numeric.hpp"

namespace zor::discover::detail {

// The parents of every expansion, in the order they were added, with their
// tokens, size, and values at the probe points and at every sample. With the
// zor operator, each parent also keeps safe_exp and safe_ln of those values:
// zor computes exactly these two terms and subtracts them, so a zor child
// costs one subtraction per value instead of an exp and a log.
class ParentStore {
 public:
  // Where a child's operands come from: the plain values, or for zor the
  // left parent's exponential terms and the right parent's logarithm terms.
  enum class Terms { Value, Exp, Ln };

  // `strict_zor`: a term that only a guard of zor makes finite (the exponent
  // fold above kExpLimit, the logarithm of a non-positive number) is kept as
  // NaN instead, so that every zor child reaching it fails.
  // `rules` (null without units; must outlive the store): each parent's
  // dimension is kept, for the generator's test.
  ParentStore(std::size_t rows, bool zor_terms, bool strict_zor = false,
              const DimensionRules* rules = nullptr)
      : rows_(rows), zor_terms_(zor_terms), strict_zor_(strict_zor) {
    if (rules != nullptr) dimensions_.emplace(*rules);
  }

  std::size_t size() const { return exprs_.size(); }
  const Expr& expr(std::size_t i) const { return exprs_[i]; }
  std::uint64_t complexity(std::size_t i) const { return complexity_[i]; }
  // Every parent's token count, in order; valid until the next add().
  std::span<const std::uint64_t> complexities() const { return complexity_; }
  // The dimensions' table and every parent's dimension id; null and empty
  // without units.
  const DimensionTable* dimensions() const { return dimensions_ ? &*dimensions_ : nullptr; }
  DimensionIds dimension_ids() const { return dimension_ids_; }
  const ProbeValues& probes(std::size_t i, Terms terms = Terms::Value) const {
    return probes_[i * term_kinds() + static_cast<std::size_t>(terms)];
  }
  const double* values(std::size_t i, Terms terms = Terms::Value) const {
    return rows_of_[i] + static_cast<std::size_t>(terms) * rows_;
  }

  // Makes room for `extra` parents. Each call takes one new block for their
  // values, so the values of earlier parents never move.
  void reserve(std::size_t extra) {
    blocks_.push_back(std::make_unique_for_overwrite<double[]>(extra * term_kinds() * rows_));
    next_ = blocks_.back().get();
    block_end_ = next_ + extra * term_kinds() * rows_;
    value_bytes_ += extra * term_kinds() * rows_ * sizeof(double);
  }

  // Appends a parent within the room of the last reserve(); `fill(out)`
  // writes its rows_ values.
  template <class Fill>
  void add(Expr expr, const ProbeValues& probes, Fill&& fill) {
    fill_values(append(std::move(expr), probes), fill);
  }

  // Appends a parent within the room of the last reserve() and returns its
  // position; its values are left to fill_values.
  std::size_t append(Expr expr, const ProbeValues& probes) {
    if (next_ + term_kinds() * rows_ > block_end_) throw std::logic_error("parent added without room");
    token_bytes_ += expr.tokens.capacity() * sizeof(Token) + sizeof(Expr);
    complexity_.push_back(expr.tokens.size());
    if (dimensions_) dimension_ids_.push_back(dimensions_->id_of(expr));
    exprs_.push_back(std::move(expr));
    rows_of_.push_back(next_);
    next_ += term_kinds() * rows_;
    append_probes(probes);
    return exprs_.size() - 1;
  }

  // Writes the values of appended parent i by `fill(out)`, and its zor
  // terms. Distinct parents may be filled at once from several threads, as
  // long as no parent is appended meanwhile.
  template <class Fill>
  void fill_values(std::size_t i, Fill&& fill) {
    double* values = rows_of_[i];
    fill(values);
    if (!zor_terms_) return;
    double* exp_terms = values + rows_;
    double* ln_terms = values + 2 * rows_;
    for (std::size_t r = 0; r < rows_; ++r) {
      exp_terms[r] = exp_term(values[r]);
      ln_terms[r] = ln_term(values[r]);
    }
  }

 private:
  void append_probes(const ProbeValues& probes) {
    probes_.push_back(probes);
    if (!zor_terms_) return;
    ProbeValues exp_probes{};
    ProbeValues ln_probes{};
    for (std::size_t j = 0; j < probes.size(); ++j) {
      exp_probes[j] = exp_term(probes[j]);
      ln_probes[j] = ln_term(probes[j]);
    }
    probes_.push_back(exp_probes);
    probes_.push_back(ln_probes);
  }

 public:
  std::uint64_t bytes_per_member() const {
    return sizeof(std::uint64_t) + sizeof(double*) + (dimensions_ ? sizeof(DimensionTable::Id) : 0) +
           term_kinds() * (sizeof(ProbeValues) + rows_ * sizeof(double));
  }
  std::uint64_t bytes() const {
    return token_bytes_ + value_bytes_ + complexity_.capacity() * sizeof(std::uint64_t) +
           rows_of_.capacity() * sizeof(double*) + probes_.capacity() * sizeof(ProbeValues) +
           dimension_ids_.capacity() * sizeof(DimensionTable::Id);
  }

 private:
  std::size_t term_kinds() const { return zor_terms_ ? 3 : 1; }
  double exp_term(double v) const {
    return strict_zor_ && v > kExpLimit ? std::numeric_limits<double>::quiet_NaN() : safe_exp(v);
  }
  double ln_term(double v) const {
    return strict_zor_ && !(v > 0.0) ? std::numeric_limits<double>::quiet_NaN() : safe_ln(v);
  }

  std::size_t rows_;
  bool zor_terms_;
  bool strict_zor_;
  std::vector<Expr> exprs_;
  std::vector<std::uint64_t> complexity_;
  std::optional<DimensionTable> dimensions_;
  std::vector<DimensionTable::Id> dimension_ids_;
  std::vector<ProbeValues> probes_;  // term_kinds() per parent
  std::vector<double*> rows_of_;
  std::vector<std::unique_ptr<double[]>> blocks_;
  double* next_ = nullptr;
  double* block_end_ = nullptr;
  std::uint64_t token_bytes_ = 0;
  std::uint64_t value_bytes_ = 0;
};

inline std::uint64_t child_complexity(const ParentStore& parents, const Child& child) {
  const std::uint64_t right = arity(child.op) == 2 ? parents.complexity(child.right) : 0;
  return parents.complexity(child.left) + right + 1;
}

// The child's token sequence: its operands' tokens, then its operator.
inline Expr child_expr(const ParentStore& parents, const Child& child) {
  const std::vector<Token>& left = parents.expr(child.left).tokens;
  Expr expr;
  expr.tokens.reserve(child_complexity(parents, child));
  expr.tokens.assign(left.begin(), left.end());
  if (arity(child.op) == 2) {
    const std::vector<Token>& right = parents.expr(child.right).tokens;
    expr.tokens.insert(expr.tokens.end(), right.begin(), right.end());
  }
  expr.tokens.push_back(Token::op_token(child.op));
  return expr;
}

}  // namespace zor::discover::detail
