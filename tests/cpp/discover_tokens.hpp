// Shorthands for writing token sequences in the discovery tests.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>

#include "core/discover/expr.hpp"

namespace zor::discover::tokens {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();

inline Token C(double v) { return Token::constant(v); }
inline Token V(std::uint64_t k) { return Token::var(k); }
inline Token P(std::uint64_t i, double stored) { return Token::param(i, stored); }
inline Token O(OpCode op) { return Token::op_token(op); }

inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

}  // namespace zor::discover::tokens
