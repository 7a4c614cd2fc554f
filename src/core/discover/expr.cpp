#include "core/discover/expr.hpp"

#include <cmath>

#include "core/discover/operator_eval.hpp"

namespace zor::discover {

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
        double b = 0.0;
        if (n == 2) {
          b = stack.back();
          stack.pop_back();
        }
        const double a = stack.back();
        stack.pop_back();
        double result = 0.0;
        if (!apply_checked(token.op, a, b, result)) return std::nullopt;
        stack.push_back(result);
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
