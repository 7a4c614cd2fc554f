#include "core/discover/expr.hpp"

#include <cmath>

#include "core/numeric.hpp"

namespace zor::discover {

namespace {

constexpr double kNearZero = 1e-300;

// The operator's result, or absent when its guard fails. The finiteness of
// the result is checked by the caller.
std::optional<double> apply_unary(OpCode op, double x) {
  switch (op) {
    case OpCode::Neg:
      return -x;
    case OpCode::Recip:
      if (std::fabs(x) < kNearZero) return std::nullopt;
      return 1.0 / x;
    case OpCode::Exp:
      return std::exp(x);
    case OpCode::Ln:
      if (x <= 0.0) return std::nullopt;
      return std::log(x);
    case OpCode::Sqrt:
      if (x < 0.0) return std::nullopt;
      return std::sqrt(x);
    case OpCode::Sin:
      return std::sin(x);
    case OpCode::Cos:
      return std::cos(x);
    case OpCode::Abs:
      return std::fabs(x);
    default:
      return std::nullopt;
  }
}

std::optional<double> apply_binary(OpCode op, double a, double b) {
  switch (op) {
    case OpCode::Zor:
      return zor::zor(a, b);
    case OpCode::Add:
      return a + b;
    case OpCode::Sub:
      return a - b;
    case OpCode::Mul:
      return a * b;
    case OpCode::Div:
      if (std::fabs(b) < kNearZero) return std::nullopt;
      return a / b;
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<double> evaluate(const Expr& expr, const std::vector<double>& row,
                               const std::vector<double>& params) {
  if (expr.tokens.empty()) return std::nullopt;
  std::vector<double> stack;
  stack.reserve(expr.tokens.size());
  for (const Token& token : expr.tokens) {
    switch (token.kind) {
      case TokenKind::Const:
        stack.push_back(token.value());
        break;
      case TokenKind::Param:
        stack.push_back(token.index() < params.size() ? params[token.index()] : token.stored);
        break;
      case TokenKind::Var:
        if (token.index() >= row.size()) return std::nullopt;
        stack.push_back(row[token.index()]);
        break;
      case TokenKind::Op: {
        const int n = arity(token.op);
        if (stack.size() < static_cast<std::size_t>(n)) return std::nullopt;
        std::optional<double> result;
        if (n == 1) {
          const double x = stack.back();
          stack.pop_back();
          result = apply_unary(token.op, x);
        } else {
          const double b = stack.back();
          stack.pop_back();
          const double a = stack.back();
          stack.pop_back();
          result = apply_binary(token.op, a, b);
        }
        if (!result || !std::isfinite(*result)) return std::nullopt;
        stack.push_back(*result);
        break;
      }
      default:
        return std::nullopt;
    }
  }
  if (stack.size() != 1) return std::nullopt;
  return stack.back();
}

std::optional<std::string> validate_columns(const std::vector<std::vector<double>>& columns) {
  if (columns.empty()) return std::string("x_data must hold at least one column");
  const std::size_t rows = columns.front().size();
  for (std::size_t k = 1; k < columns.size(); ++k) {
    if (columns[k].size() < rows) {
      return "x_data column " + std::to_string(k) + " has " + std::to_string(columns[k].size()) +
             " values but column 0 has " + std::to_string(rows);
    }
  }
  return std::nullopt;
}

std::optional<std::vector<double>> evaluate_columns(const Expr& expr,
                                                    const std::vector<std::vector<double>>& columns,
                                                    const std::vector<double>& params) {
  if (validate_columns(columns)) return std::nullopt;
  const std::size_t rows = columns.front().size();
  std::vector<double> values;
  values.reserve(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    std::vector<double> row;
    row.reserve(columns.size());
    for (const std::vector<double>& column : columns) row.push_back(column[i]);
    std::optional<double> value = evaluate(expr, row, params);
    if (!value) return std::nullopt;
    values.push_back(*value);
  }
  return values;
}

}  // namespace zor::discover
