#include "core/fit/dual_evaluator.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zor::fit::detail {

using discover::Expr;
using discover::OpCode;
using discover::Token;
using discover::TokenKind;

std::optional<ShapeLayout> layout_of(const Expr& shape, std::size_t variables) {
  ShapeLayout layout;
  std::size_t stack = 0;
  for (const Token& token : shape.tokens) {
    switch (token.kind) {
      case TokenKind::Const:
        ++stack;
        break;
      case TokenKind::Var:
        if (token.index() >= variables) return std::nullopt;
        ++stack;
        break;
      case TokenKind::Param:
        // An index this large could not be given a start anyway.
        if (token.index() >= (std::size_t{1} << 20)) return std::nullopt;
        layout.inner = std::max<std::size_t>(layout.inner, token.index() + 1);
        ++stack;
        break;
      case TokenKind::Op: {
        if (static_cast<std::size_t>(token.op) >= discover::kOperatorCount) return std::nullopt;
        const auto operands = static_cast<std::size_t>(discover::arity(token.op));
        if (stack < operands) return std::nullopt;
        stack -= operands - 1;
        break;
      }
      default:
        return std::nullopt;
    }
    layout.depth = std::max(layout.depth, stack);
  }
  if (stack != 1) return std::nullopt;
  return layout;
}

void DualEvaluator::run(const double* theta) {
  std::size_t top = 0;  // slots in use
  for (const Token& token : shape_.tokens) {
    if (token.kind != TokenKind::Op) {
      push_leaf(token, theta, top++);
    } else if (discover::arity(token.op) == 1) {
      unary(token.op, top - 1);
    } else {
      binary(token.op, top - 2);
      --top;
    }
  }
}

void DualEvaluator::push_leaf(const Token& token, const double* theta, std::size_t slot) {
  double* v = value_of(slot);
  for (std::size_t j = 0; j < inner_; ++j) depends(slot, j) = false;
  switch (token.kind) {
    case TokenKind::Const:
      std::fill(v, v + rows_, token.value());
      break;
    case TokenKind::Var:
      std::memcpy(v, data_.columns[token.index()].data(), rows_ * sizeof(double));
      break;
    case TokenKind::Param:
      std::fill(v, v + rows_, theta[token.index()]);
      std::fill(gradient_of(slot, token.index()), gradient_of(slot, token.index()) + rows_, 1.0);
      depends(slot, token.index()) = true;
      break;
    case TokenKind::Op:
      break;
  }
}

template <class F>
void DualEvaluator::map_unary(std::size_t slot, F&& value_and_slope) {
  double* v = value_of(slot);
  double* s = slope_.data();
  for (std::size_t i = 0; i < rows_; ++i) value_and_slope(v[i], s[i]);
  for (std::size_t j = 0; j < inner_; ++j) {
    if (!depends(slot, j)) continue;
    double* g = gradient_of(slot, j);
    for (std::size_t i = 0; i < rows_; ++i) g[i] *= s[i];
  }
}

void DualEvaluator::unary(OpCode op, std::size_t slot) {
  switch (op) {
    case OpCode::Neg:
      return map_unary(slot, [](double& a, double& s) {
        a = -a;
        s = -1.0;
      });
    case OpCode::Recip:
      return map_unary(slot, [](double& a, double& s) {
        a = 1.0 / a;
        s = -a * a;
      });
    case OpCode::Exp:
      return map_unary(slot, [](double& a, double& s) {
        a = std::exp(a);
        s = a;
      });
    case OpCode::Ln:
      return map_unary(slot, [](double& a, double& s) {
        s = 1.0 / a;
        a = std::log(a);
      });
    case OpCode::Sqrt:
      return map_unary(slot, [](double& a, double& s) {
        a = std::sqrt(a);
        s = 0.5 / a;
      });
    case OpCode::Sin:
      return map_unary(slot, [](double& a, double& s) {
        s = std::cos(a);
        a = std::sin(a);
      });
    case OpCode::Cos:
      return map_unary(slot, [](double& a, double& s) {
        s = -std::sin(a);
        a = std::cos(a);
      });
    case OpCode::Abs:
      return map_unary(slot, [](double& a, double& s) {
        s = a > 0.0 ? 1.0 : a < 0.0 ? -1.0 : a == 0.0 ? 0.0 : a;  // NaN stays NaN
        a = std::fabs(a);
      });
    case OpCode::Square:
      return map_unary(slot, [](double& a, double& s) {
        s = 2.0 * a;
        a = a * a;
      });
    default:
      return;
  }
}

void DualEvaluator::binary(OpCode op, std::size_t slot) {
  double* a = value_of(slot);
  const double* b = value_of(slot + 1);
  // d(result)/d(parameter j) from each operand's derivative: ga·left_factor
  // + gb·right_factor, over the operands that depend on parameter j.
  auto chain = [&](auto&& left_factor, auto&& right_factor) {
    for (std::size_t j = 0; j < inner_; ++j) {
      const bool left = depends(slot, j);
      const bool right = depends(slot + 1, j);
      double* ga = gradient_of(slot, j);
      const double* gb = gradient_of(slot + 1, j);
      if (left && right) {
        for (std::size_t i = 0; i < rows_; ++i) ga[i] = ga[i] * left_factor(i) + gb[i] * right_factor(i);
      } else if (left) {
        for (std::size_t i = 0; i < rows_; ++i) ga[i] = ga[i] * left_factor(i);
      } else if (right) {
        for (std::size_t i = 0; i < rows_; ++i) ga[i] = gb[i] * right_factor(i);
        depends(slot, j) = true;
      }
    }
  };
  double* s = slope_.data();
  switch (op) {
    case OpCode::Add:
      chain([](std::size_t) { return 1.0; }, [](std::size_t) { return 1.0; });
      for (std::size_t i = 0; i < rows_; ++i) a[i] = a[i] + b[i];
      return;
    case OpCode::Sub:
      chain([](std::size_t) { return 1.0; }, [](std::size_t) { return -1.0; });
      for (std::size_t i = 0; i < rows_; ++i) a[i] = a[i] - b[i];
      return;
    case OpCode::Mul:
      chain([&](std::size_t i) { return b[i]; }, [&](std::size_t i) { return a[i]; });
      for (std::size_t i = 0; i < rows_; ++i) a[i] = a[i] * b[i];
      return;
    case OpCode::Div:
      // (ga − gb·q) / b with q = a / b.
      for (std::size_t i = 0; i < rows_; ++i) {
        s[i] = 1.0 / b[i];
        a[i] = a[i] / b[i];
      }
      chain([&](std::size_t i) { return s[i]; }, [&](std::size_t i) { return -a[i] * s[i]; });
      return;
    case OpCode::Zor:
      // exp(a) − ln(b), undefined where b ≤ 0 or exp(a) overflows.
      for (std::size_t i = 0; i < rows_; ++i) s[i] = std::exp(a[i]);
      chain([&](std::size_t i) { return s[i]; }, [&](std::size_t i) { return -1.0 / b[i]; });
      for (std::size_t i = 0; i < rows_; ++i) a[i] = s[i] - std::log(b[i]);
      return;
    default:
      return;
  }
}

}  // namespace zor::fit::detail
