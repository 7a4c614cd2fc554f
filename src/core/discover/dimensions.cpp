#include "core/discover/dimensions.hpp"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>

namespace zor::discover {

namespace {

// An input exponent's size bound, in whole powers: far below the limit, so
// that many products and squares fit before a dimension becomes unknown.
constexpr double kLargestInputExponent = 2147483648.0;  // 2^31

Dimension unknown() { return Dimension{{}, false}; }

// Combines two known dimensions exponent by exponent; unknown when a result
// leaves the range.
template <class Combine>
Dimension combined(const Dimension& left, const Dimension& right, Combine&& combine) {
  if (!left.known || !right.known) return unknown();
  Dimension out{std::vector<std::int64_t>(left.exponents.size()), true};
  for (std::size_t b = 0; b < left.exponents.size(); ++b) {
    const std::int64_t value = combine(left.exponents[b], right.exponents[b]);
    if (std::llabs(value) > kExponentLimit) return unknown();
    out.exponents[b] = value;
  }
  return out;
}

}  // namespace

bool Dimension::dimensionless() const {
  if (!known) return false;
  for (std::int64_t e : exponents)
    if (e != 0) return false;
  return true;
}

std::optional<std::string> DimensionRules::problem(const std::vector<std::vector<double>>& exponents,
                                                   std::size_t columns) {
  if (exponents.size() != columns) return "dimensions must give one list of exponents per column";
  for (const std::vector<double>& column : exponents) {
    if (column.size() != exponents.front().size())
      return "dimensions must give every column as many exponents";
    for (double e : column) {
      const double fixed = e * static_cast<double>(kExponentOne);
      if (!(std::fabs(e) < kLargestInputExponent) || fixed != std::floor(fixed))
        return "a dimension's exponent must be a multiple of 2**-20 smaller than 2**31 in size";
    }
  }
  return std::nullopt;
}

DimensionRules::DimensionRules(const std::vector<std::vector<double>>& exponents)
    : bases_(exponents.empty() ? 0 : exponents.front().size()) {
  for (const std::vector<double>& column : exponents) {
    Dimension d{std::vector<std::int64_t>(bases_), true};
    for (std::size_t b = 0; b < bases_; ++b)
      d.exponents[b] = static_cast<std::int64_t>(column[b] * static_cast<double>(kExponentOne));
    columns_.push_back(std::move(d));
  }
}

std::optional<Dimension> DimensionRules::apply(OpCode op, const Dimension& left,
                                               const Dimension& right) const {
  switch (op) {
    case OpCode::Neg:
    case OpCode::Abs:
      return left;
    case OpCode::Recip:
      return combined(dimensionless(), left, [](std::int64_t, std::int64_t e) { return -e; });
    case OpCode::Sqrt: {
      if (!left.known) return left;
      Dimension out = left;
      for (std::int64_t& e : out.exponents) {
        if (e % 2 != 0) return unknown();
        e /= 2;
      }
      return out;
    }
    case OpCode::Square:
      return combined(left, left, [](std::int64_t a, std::int64_t b) { return a + b; });
    case OpCode::Exp:
    case OpCode::Ln:
    case OpCode::Sin:
    case OpCode::Cos:
      if (!left.dimensionless()) return std::nullopt;
      return left;
    case OpCode::Zor:
      if (!left.dimensionless() || !right.dimensionless()) return std::nullopt;
      return left;
    case OpCode::Add:
    case OpCode::Sub:
      if (!left.known || left != right) return std::nullopt;
      return left;
    case OpCode::Mul:
      return combined(left, right, [](std::int64_t a, std::int64_t b) { return a + b; });
    case OpCode::Div:
      return combined(left, right, [](std::int64_t a, std::int64_t b) { return a - b; });
  }
  return std::nullopt;
}

std::optional<Dimension> DimensionRules::of(const Expr& expr) const {
  std::vector<Dimension> stack;
  for (const Token& token : expr.tokens) {
    switch (token.kind) {
      case TokenKind::Const:
      case TokenKind::Param:
        stack.push_back(dimensionless());
        continue;
      case TokenKind::Var:
        if (token.index() >= columns_.size()) return std::nullopt;
        stack.push_back(columns_[token.index()]);
        continue;
      case TokenKind::Op:
        break;
    }
    const int operands = arity(token.op);
    if (stack.size() < static_cast<std::size_t>(operands)) return std::nullopt;
    Dimension right = operands == 2 ? std::move(stack.back()) : Dimension{};
    if (operands == 2) stack.pop_back();
    std::optional<Dimension> result = apply(token.op, stack.back(), operands == 2 ? right : stack.back());
    if (!result) return std::nullopt;
    stack.back() = std::move(*result);
  }
  if (stack.size() != 1) return std::nullopt;
  return std::move(stack.back());
}

DimensionTable::DimensionTable(const DimensionRules& rules) : rules_(rules) {
  ids_.emplace(rules.dimensionless(), kDimensionless);
  unknown_ = static_cast<Id>(ids_.size());
  ids_.emplace(unknown(), unknown_);
}

DimensionTable::Id DimensionTable::id_of(const Expr& expr) {
  const std::optional<Dimension> d = rules_.of(expr);
  if (!d) throw std::logic_error("a parent that breaks the dimension rules");
  const auto [at, added] = ids_.emplace(*d, static_cast<Id>(ids_.size()));
  if (added && ids_.size() > std::numeric_limits<Id>::max()) throw std::length_error("too many dimensions");
  return at->second;
}

}  // namespace zor::discover
