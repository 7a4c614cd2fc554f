// Formulas as postfix token sequences, their numeric evaluation and their size.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/discover/operators.hpp"

namespace zor::discover {

enum class TokenKind : std::uint8_t { Const = 0, Param = 1, Var = 2, Op = 3 };

// One element of an expression. `payload` holds the bits of a Const's value,
// or the index of a Param or Var; `stored` is a Param's fallback value.
struct Token {
  TokenKind kind = TokenKind::Const;
  OpCode op = OpCode::Neg;
  std::uint64_t payload = 0;
  double stored = 0.0;

  static Token constant(double value) {
    return Token{TokenKind::Const, OpCode::Neg, std::bit_cast<std::uint64_t>(value), 0.0};
  }
  static Token param(std::uint64_t index, double stored_value) {
    return Token{TokenKind::Param, OpCode::Neg, index, stored_value};
  }
  static Token var(std::uint64_t index) { return Token{TokenKind::Var, OpCode::Neg, index, 0.0}; }
  static Token op_token(OpCode code) { return Token{TokenKind::Op, code, 0, 0.0}; }

  double value() const { return std::bit_cast<double>(payload); }
  std::uint64_t index() const { return payload; }
};

// A formula in postfix order: operands first, then their operator; a binary
// operator's left operand is pushed first.
struct Expr {
  std::vector<Token> tokens;
};

// The size of a formula: one per token, whatever its kind.
inline std::size_t complexity(const Expr& expr) { return expr.tokens.size(); }

// Value of the formula on one row (row[k] is variable k). Absent for an empty
// or malformed sequence, a variable outside the row, a failing guard, or an
// operator result that is infinite or NaN.
std::optional<double> evaluate(const Expr& expr, const std::vector<double>& row,
                               const std::vector<double>& params);

// Why the columns cannot be evaluated row by row, or nothing when they can:
// there must be at least one column and none may be shorter than column 0.
std::optional<std::string> validate_columns(const std::vector<std::vector<double>>& columns);

// One value per row of the columns (column k holds variable k; the row count
// is the length of column 0), or absent as soon as one row fails. Columns of
// unusable shape (none at all, or one shorter than column 0) give absent too;
// see validate_columns.
std::optional<std::vector<double>> evaluate_columns(const Expr& expr,
                                                    const std::vector<std::vector<double>>& columns,
                                                    const std::vector<double>& params);

}  // namespace zor::discover
