// Operator evaluation: what each operator of the table in operators.hpp
// computes, with its guard. One definition, shared by the token evaluator and
// the search that computes children from their parents' values, so the two
// agree bit for bit.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>

#include "core/discover/expr.hpp"
#include "core/numeric.hpp"

namespace zor::discover {

// True when `value` is neither infinite nor NaN: the test every operator
// result must pass.
inline bool finite_value(double value) {
  return (std::bit_cast<std::uint64_t>(value) & 0x7FFFFFFFFFFFFFFFull) < 0x7FF0000000000000ull;
}

// Applies `Op` to a (and b, the right operand, for binary operators); false
// when its guard fails. The finiteness of `out` is left to the caller.
template <OpCode Op>
inline bool apply_op(double a, double b, double& out) {
  if constexpr (Op == OpCode::Neg) {
    out = -a;
  } else if constexpr (Op == OpCode::Recip) {
    if (std::fabs(a) < kNearZero) return false;
    out = 1.0 / a;
  } else if constexpr (Op == OpCode::Exp) {
    out = std::exp(a);
  } else if constexpr (Op == OpCode::Ln) {
    if (a <= 0.0) return false;
    out = std::log(a);
  } else if constexpr (Op == OpCode::Sqrt) {
    if (a < 0.0) return false;
    out = std::sqrt(a);
  } else if constexpr (Op == OpCode::Sin) {
    out = std::sin(a);
  } else if constexpr (Op == OpCode::Cos) {
    out = std::cos(a);
  } else if constexpr (Op == OpCode::Abs) {
    out = std::fabs(a);
  } else if constexpr (Op == OpCode::Zor) {
    out = zor::zor(a, b);
  } else if constexpr (Op == OpCode::Add) {
    out = a + b;
  } else if constexpr (Op == OpCode::Sub) {
    out = a - b;
  } else if constexpr (Op == OpCode::Mul) {
    out = a * b;
  } else if constexpr (Op == OpCode::Div) {
    if (std::fabs(b) < kNearZero) return false;
    out = a / b;
  } else if constexpr (Op == OpCode::Square) {
    out = a * a;
  }
  (void)b;
  return true;
}

// Calls f(std::integral_constant<OpCode, op>{}) so that a loop inside f is
// compiled once per operator. Unknown codes call nothing and give `fallback`.
template <class F, class R>
inline R dispatch_op(OpCode op, R fallback, F&& f) {
  using enum OpCode;
  switch (op) {
    case Neg:
      return f(std::integral_constant<OpCode, Neg>{});
    case Recip:
      return f(std::integral_constant<OpCode, Recip>{});
    case Exp:
      return f(std::integral_constant<OpCode, Exp>{});
    case Ln:
      return f(std::integral_constant<OpCode, Ln>{});
    case Sqrt:
      return f(std::integral_constant<OpCode, Sqrt>{});
    case Sin:
      return f(std::integral_constant<OpCode, Sin>{});
    case Cos:
      return f(std::integral_constant<OpCode, Cos>{});
    case Abs:
      return f(std::integral_constant<OpCode, Abs>{});
    case Zor:
      return f(std::integral_constant<OpCode, Zor>{});
    case Add:
      return f(std::integral_constant<OpCode, Add>{});
    case Sub:
      return f(std::integral_constant<OpCode, Sub>{});
    case Mul:
      return f(std::integral_constant<OpCode, Mul>{});
    case Div:
      return f(std::integral_constant<OpCode, Div>{});
    case Square:
      return f(std::integral_constant<OpCode, Square>{});
  }
  return fallback;
}

// One operator application as the evaluator performs it: false when the
// guard fails or the result is not finite.
inline bool apply_checked(OpCode op, double a, double b, double& out) {
  return dispatch_op(op, false,
                     [&](auto tag) { return apply_op<tag.value>(a, b, out) && finite_value(out); });
}

}  // namespace zor::discover
