// Text forms of a formula: the plain text rendered from the tokens, and the
// LaTeX and Python forms rewritten from that plain text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/discover/expr.hpp"

namespace zor::discover {

// Fully parenthesised plain text (UTF-8). Never fails: a missing operand is
// written as an empty string, surplus values below the top are dropped and an
// empty sequence gives "?".
std::string render_formula(const Expr& expr);

// The name of variable `index`: the character (120 + index) mod 256, so
// 0, 1, 2 are "x", "y", "z", encoded as UTF-8.
std::string variable_name(std::uint64_t index);

// LaTeX form of a plain-text formula (not wrapped in math delimiters).
std::string to_latex(std::string_view formula);

// "import math\nf = lambda x: " followed by the formula with the elementary
// functions qualified by "math.".
std::string to_python(std::string_view formula);

}  // namespace zor::discover
