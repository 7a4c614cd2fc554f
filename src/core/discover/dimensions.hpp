// The physical dimensions of formulas, for a search told its variables'
// units: a formula that adds a length to a time, or takes the exponential
// or the sine of a mass, is never generated.
//
// A dimension is one exponent per base dimension (length, mass, ...), kept
// in fixed point so that every rule is exact integer arithmetic: products
// and quotients add and subtract the exponents, sqrt halves them, a square
// doubles them. A dimension whose exponents leave the fixed point's range
// (an odd exponent halved more often than the fraction bits allow, or one
// grown past kExponentLimit) is unknown: such a formula is kept, but never
// added to anything nor put inside a function that wants a pure number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/discover/expr.hpp"

namespace zor::discover {

// Fixed-point exponents: kExponentOne is a whole power.
inline constexpr int kExponentFractionBits = 20;
inline constexpr std::int64_t kExponentOne = std::int64_t{1} << kExponentFractionBits;
inline constexpr std::int64_t kExponentLimit = std::int64_t{1} << 52;

struct Dimension {
  std::vector<std::int64_t> exponents;  // empty when unknown
  bool known = true;

  bool dimensionless() const;
  friend bool operator==(const Dimension&, const Dimension&) = default;
  friend auto operator<=>(const Dimension&, const Dimension&) = default;
};

// The dimensions of a search's columns and the rules every formula over
// them obeys. Addition and subtraction take equal known dimensions; exp,
// ln, sin and cos take a dimensionless operand and zor two; the constants
// are dimensionless.
class DimensionRules {
 public:
  // `exponents[k]` holds column k's exponent of each base dimension, every
  // column as many; an exponent must be a multiple of 2^-20 below 2^31 in
  // size. Why they are refused, when they are.
  static std::optional<std::string> problem(const std::vector<std::vector<double>>& exponents,
                                            std::size_t columns);
  // Rules over exponents that problem() accepts.
  explicit DimensionRules(const std::vector<std::vector<double>>& exponents);

  std::size_t bases() const { return bases_; }
  std::size_t columns() const { return columns_.size(); }
  const Dimension& column(std::size_t k) const { return columns_.at(k); }
  Dimension dimensionless() const { return Dimension{std::vector<std::int64_t>(bases_, 0), true}; }

  // The dimension of a formula, absent when it breaks a rule (or is not a
  // well-formed token sequence).
  std::optional<Dimension> of(const Expr& expr) const;
  // The dimension of an operator's result from its operands' (`right`
  // ignored for unary operators); absent when the operator may not take them.
  std::optional<Dimension> apply(OpCode op, const Dimension& left, const Dimension& right) const;

 private:
  std::size_t bases_ = 0;
  std::vector<Dimension> columns_;
};

// The distinct dimensions of a search's parents, each named by a small id
// so that the generator's test is a comparison of ids. Id 0 is
// dimensionless.
class DimensionTable {
 public:
  using Id = std::uint32_t;
  static constexpr Id kDimensionless = 0;

  explicit DimensionTable(const DimensionRules& rules);

  const DimensionRules& rules() const { return rules_; }
  // The id of a formula's dimension; the formula must obey the rules.
  Id id_of(const Expr& expr);
  // Whether a child of the operator over parents of these dimensions obeys
  // the rules; exactly DimensionRules::of of the child's tokens being
  // present, for parents that obey them.
  bool allows(OpCode op, Id left, Id right) const {
    switch (op) {
      case OpCode::Exp:
      case OpCode::Ln:
      case OpCode::Sin:
      case OpCode::Cos:
        return left == kDimensionless;
      case OpCode::Zor:
        return left == kDimensionless && right == kDimensionless;
      case OpCode::Add:
      case OpCode::Sub:
        return left == right && left != unknown_;
      default:
        return true;
    }
  }

 private:
  const DimensionRules& rules_;
  std::map<Dimension, Id> ids_;
  Id unknown_;
};

// A parent's dimension ids, in parent order; empty when the search has no units.
using DimensionIds = std::span<const DimensionTable::Id>;

}  // namespace zor::discover
