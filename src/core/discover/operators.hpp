// What each operator of the expression model is: its code, its arity, the
// name token lists give it, its text forms and how the search uses it. Every
// part of the program that counts an operator's operands, names or prints it
// reads this table; what an operator computes is in ops.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zor::discover {

enum class OpCode : std::uint8_t {
  Neg = 0,
  Recip = 1,
  Exp = 2,
  Ln = 3,
  Sqrt = 4,
  Sin = 5,
  Cos = 6,
  Abs = 7,
  Zor = 8,
  Add = 9,
  Sub = 10,
  Mul = 11,
  Div = 12,
  Square = 13,
};

struct OperatorInfo {
  OpCode code;
  int arity;
  // As token lists spell it: ("op", "Neg").
  std::string_view name;
  // The plain text; each "{}" stands for one operand, left operand first.
  std::string_view text;
  // What to_latex and to_python make of the text's opening (the part before
  // the first operand); empty where the text stays as it is. A LaTeX opening
  // that ends in "{" closes its operand with "}" instead of ")".
  std::string_view latex;
  std::string_view python;
  // The operands do not commute: the search builds op(a, b) and op(b, a).
  bool both_orders;
};

// Indexed by code. to_latex and to_python rewrite the openings in this order.
// clang-format off
inline constexpr OperatorInfo kOperators[] = {
    // code         arity  name     text           latex             python        both orders
    {OpCode::Neg,   1,     "Neg",   "(-{})",       "",               "",           false},
    {OpCode::Recip, 1,     "Recip", "(1/{})",      "",               "",           false},
    {OpCode::Exp,   1,     "Exp",   "exp({})",     "\\exp(",         "math.exp(",  false},
    {OpCode::Ln,    1,     "Ln",    "ln({})",      "\\ln(",          "math.log(",  false},
    {OpCode::Sqrt,  1,     "Sqrt",  "sqrt({})",    "\\sqrt{",        "math.sqrt(", false},
    {OpCode::Sin,   1,     "Sin",   "sin({})",     "\\sin(",         "math.sin(",  false},
    {OpCode::Cos,   1,     "Cos",   "cos({})",     "\\cos(",         "math.cos(",  false},
    {OpCode::Abs,   1,     "Abs",   "abs({})",     "",               "",           false},
    {OpCode::Zor,   2,     "Zor",   "zor({}, {})", "\\mathrm{zor}(", "",           true},
    {OpCode::Add,   2,     "Add",   "({} + {})",   "",               "",           false},
    {OpCode::Sub,   2,     "Sub",   "({} - {})",   "",               "",           true},
    {OpCode::Mul,   2,     "Mul",   "({} * {})",   "",               "",           false},
    {OpCode::Div,   2,     "Div",   "({} / {})",   "",               "",           true},
    {OpCode::Square, 1,    "Square", "({}^2)",     "",               "",           false},
};
// clang-format on

inline constexpr std::size_t kOperatorCount = sizeof(kOperators) / sizeof(kOperators[0]);

// A code outside the table (only a corrupted token holds one) takes two
// operands, evaluates to nothing and prints as "?(a, b)".
inline constexpr OperatorInfo kUnknownOperator{OpCode{0xFF}, 2, "?", "?({}, {})", "", "", false};

inline constexpr const OperatorInfo& operator_info(OpCode op) {
  const auto code = static_cast<std::size_t>(op);
  return code < kOperatorCount ? kOperators[code] : kUnknownOperator;
}

inline constexpr int arity(OpCode op) { return operator_info(op).arity; }

// When the search applies an operator.
enum class SearchUse : std::uint8_t { Always, WithTrig, WithZor, WhenScaled };

struct SearchedOperator {
  OpCode code;
  SearchUse use;
};

// The operators the search applies, unary ones first, in the order it applies
// them: that order decides which of two candidates with the same outputs is
// kept, so it is part of every result. Abs is evaluated and printed but never
// searched. Square only joins the scaled search: a·x² + b is where fitted
// constants meet the squares of physics (r², v², θ/σ inside a Gaussian), and
// at two tokens instead of x·x's three the laws built on them come within
// reach of a narrower beam; the unscaled search keeps its operator set.
// clang-format off
inline constexpr SearchedOperator kSearchOrder[] = {
    {OpCode::Neg,   SearchUse::Always},
    {OpCode::Recip, SearchUse::Always},
    {OpCode::Exp,   SearchUse::Always},
    {OpCode::Ln,    SearchUse::Always},
    {OpCode::Sqrt,  SearchUse::Always},
    {OpCode::Square, SearchUse::WhenScaled},
    {OpCode::Sin,   SearchUse::WithTrig},
    {OpCode::Cos,   SearchUse::WithTrig},
    {OpCode::Add,   SearchUse::Always},
    {OpCode::Sub,   SearchUse::Always},
    {OpCode::Mul,   SearchUse::Always},
    {OpCode::Div,   SearchUse::Always},
    {OpCode::Zor,   SearchUse::WithZor},
};
// clang-format on

namespace table_checks {

constexpr std::size_t count_in(std::string_view text, std::string_view part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

constexpr bool rows_are_well_formed() {
  for (std::size_t i = 0; i < kOperatorCount; ++i) {
    const OperatorInfo& op = kOperators[i];
    if (static_cast<std::size_t>(op.code) != i) return false;  // a token's code indexes the table
    if (op.arity != 1 && op.arity != 2) return false;
    if (count_in(op.text, "{}") != static_cast<std::size_t>(op.arity)) return false;
    if (op.arity == 1 && op.both_orders) return false;
    for (std::size_t j = 0; j < i; ++j)
      if (kOperators[j].name == op.name) return false;  // names must decode to one code
  }
  return true;
}

constexpr bool search_order_is_well_formed() {
  int previous_arity = 1;
  for (std::size_t i = 0; i < sizeof(kSearchOrder) / sizeof(kSearchOrder[0]); ++i) {
    const auto code = static_cast<std::size_t>(kSearchOrder[i].code);
    if (code >= kOperatorCount) return false;
    if (kOperators[code].arity < previous_arity) return false;  // unary ones first
    previous_arity = kOperators[code].arity;
    for (std::size_t j = 0; j < i; ++j)
      if (kSearchOrder[j].code == kSearchOrder[i].code) return false;
  }
  return true;
}

static_assert(kOperatorCount == static_cast<std::size_t>(OpCode::Square) + 1, "every OpCode has its row");
static_assert(rows_are_well_formed(), "kOperators: row i holds code i, one \"{}\" per operand, unique names");
static_assert(search_order_is_well_formed(), "kSearchOrder: known codes, each once, unary before binary");

}  // namespace table_checks

}  // namespace zor::discover
