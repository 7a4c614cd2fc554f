// What each operator of the expression model is: its code, its arity, the
// name token lists give it, its text forms and how the search uses it. Every
// part of the program that counts an operator's operands, names or prints it
// reads this table; what an operator computes is in operator_eval.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
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

// The companion package's LaTeX layout gives every (sub)expression a class;
// an operand is wrapped in \left( ... \right) when its operator's wraps for
// that operand include the operand's class. Variables are leaves; the
// companion classes numbers itself.
enum class LatexClass : std::uint8_t { Sum = 1, Negated = 2, Product = 3, Atom = 4, Leaf = 5 };

// Bit k of a wraps mask stands for the class whose value is k.
constexpr std::uint8_t wrapping(std::initializer_list<LatexClass> classes) {
  std::uint8_t mask = 0;
  for (LatexClass c : classes) mask = static_cast<std::uint8_t>(mask | (1u << static_cast<unsigned>(c)));
  return mask;
}

struct OperatorInfo {
  OpCode code;
  int arity;
  // As token lists spell it: ("op", "Neg").
  std::string_view name;
  // The plain text; each "{}" stands for one operand, left operand first.
  std::string_view text;
  // What zor_core's to_latex and to_python make of the text's opening (the
  // part before the first operand); empty where the text stays as it is. A
  // LaTeX opening that ends in "{" closes its operand with "}" instead of ")".
  std::string_view core_latex_opening;
  std::string_view core_python_opening;
  // The operands do not commute: the search builds op(a, b) and op(b, a).
  bool both_orders;
  // The companion package's forms. LaTeX: operands "#1", "#2", the class of
  // the result and, per operand, the classes that are wrapped.
  std::string_view latex;
  LatexClass latex_class;
  std::array<std::uint8_t, 2> latex_wraps;
  // A Python expression, operands "{0}", "{1}" (str.format fields).
  std::string_view python;
  // A SymPy expression over the operands a and b, in SymPy's own names.
  std::string_view sympy;
};

inline constexpr std::uint8_t kNoWrap = 0;
inline constexpr std::uint8_t kWrapSum = wrapping({LatexClass::Sum});
inline constexpr std::uint8_t kWrapSigned = wrapping({LatexClass::Sum, LatexClass::Negated});
inline constexpr std::uint8_t kWrapAllButLeaves =
    wrapping({LatexClass::Sum, LatexClass::Negated, LatexClass::Product, LatexClass::Atom});

// Indexed by code. zor_core's to_latex and to_python rewrite the core openings
// in this order.
// Square is a product in Python, as the core computes it: x**2 goes through
// pow, which is not always rounded as x * x is.
// clang-format off
inline constexpr OperatorInfo kOperators[] = {
    // code          arity  name      text           core LaTeX opening  core Python opening  both orders
    //               LaTeX                                 class                 wraps per operand
    //               Python             SymPy
    {OpCode::Neg,    1,     "Neg",    "(-{})",       "",                 "",                  false,
                     "-#1",                                LatexClass::Negated,  {kWrapSigned, kNoWrap},
                     "(-{0})",          "-a"},
    {OpCode::Recip,  1,     "Recip",  "(1/{})",      "",                 "",                  false,
                     "\\frac{1}{#1}",                      LatexClass::Atom,     {kNoWrap, kNoWrap},
                     "(1.0 / {0})",     "1/a"},
    {OpCode::Exp,    1,     "Exp",    "exp({})",     "\\exp(",           "math.exp(",         false,
                     "\\exp\\left(#1\\right)",             LatexClass::Atom,     {kNoWrap, kNoWrap},
                     "math.exp({0})",   "exp(a)"},
    {OpCode::Ln,     1,     "Ln",     "ln({})",      "\\ln(",            "math.log(",         false,
                     "\\ln\\left(#1\\right)",              LatexClass::Atom,     {kNoWrap, kNoWrap},
                     "math.log({0})",   "log(a)"},
    {OpCode::Sqrt,   1,     "Sqrt",   "sqrt({})",    "\\sqrt{",          "math.sqrt(",        false,
                     "\\sqrt{#1}",                         LatexClass::Atom,     {kNoWrap, kNoWrap},
                     "math.sqrt({0})",  "sqrt(a)"},
    {OpCode::Sin,    1,     "Sin",    "sin({})",     "\\sin(",           "math.sin(",         false,
                     "\\sin\\left(#1\\right)",             LatexClass::Atom,     {kNoWrap, kNoWrap},
                     "math.sin({0})",   "sin(a)"},
    {OpCode::Cos,    1,     "Cos",    "cos({})",     "\\cos(",           "math.cos(",         false,
                     "\\cos\\left(#1\\right)",             LatexClass::Atom,     {kNoWrap, kNoWrap},
                     "math.cos({0})",   "cos(a)"},
    {OpCode::Abs,    1,     "Abs",    "abs({})",     "",                 "",                  false,
                     "\\left|#1\\right|",                  LatexClass::Atom,     {kNoWrap, kNoWrap},
                     "abs({0})",        "Abs(a)"},
    {OpCode::Zor,    2,     "Zor",    "zor({}, {})", "\\mathrm{zor}(",   "",                  true,
                     "\\mathrm{zor}\\left(#1, #2\\right)", LatexClass::Atom,     {kNoWrap, kNoWrap},
                     "zor({0}, {1})",   "exp(a) - log(b)"},
    {OpCode::Add,    2,     "Add",    "({} + {})",   "",                 "",                  false,
                     "#1 + #2",                            LatexClass::Sum,      {kNoWrap, wrapping({LatexClass::Negated})},
                     "({0} + {1})",     "a + b"},
    {OpCode::Sub,    2,     "Sub",    "({} - {})",   "",                 "",                  true,
                     "#1 - #2",                            LatexClass::Sum,      {kNoWrap, kWrapSigned},
                     "({0} - {1})",     "a - b"},
    {OpCode::Mul,    2,     "Mul",    "({} * {})",   "",                 "",                  false,
                     "#1 \\cdot #2",                       LatexClass::Product,  {kWrapSum, kWrapSigned},
                     "({0} * {1})",     "a*b"},
    {OpCode::Div,    2,     "Div",    "({} / {})",   "",                 "",                  true,
                     "\\frac{#1}{#2}",                     LatexClass::Atom,     {kNoWrap, kNoWrap},
                     "({0} / {1})",     "a/b"},
    {OpCode::Square, 1,     "Square", "({}^2)",      "",                 "",                  false,
                     "#1^{2}",                             LatexClass::Atom,     {kWrapAllButLeaves, kNoWrap},
                     "({0} * {0})",     "a**2"},
};
// clang-format on

inline constexpr std::size_t kOperatorCount = sizeof(kOperators) / sizeof(kOperators[0]);

// A code outside the table (only a corrupted token holds one) takes two
// operands, evaluates to nothing and prints as "?(a, b)".
inline constexpr OperatorInfo kUnknownOperator{OpCode{0xFF},
                                               2,
                                               "?",
                                               "?({}, {})",
                                               "",
                                               "",
                                               false,
                                               "?(#1, #2)",
                                               LatexClass::Atom,
                                               {kNoWrap, kNoWrap},
                                               "?({0}, {1})",
                                               "?(a, b)"};

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

// Each operand appears in the companion's LaTeX ("#k") and Python ("{k-1}")
// forms, no other operand does, and only operands have classes to wrap.
constexpr bool companion_forms_are_well_formed(const OperatorInfo& op) {
  constexpr std::string_view kLatexOperands[] = {"#1", "#2"};
  constexpr std::string_view kPythonOperands[] = {"{0}", "{1}"};
  constexpr unsigned kClassBits = 0b111110;  // the classes 1 to 5
  for (std::size_t k = 0; k < 2; ++k) {
    const bool operand = k < static_cast<std::size_t>(op.arity);
    if ((count_in(op.latex, kLatexOperands[k]) != 0) != operand) return false;
    if ((count_in(op.python, kPythonOperands[k]) != 0) != operand) return false;
    if ((op.latex_wraps[k] & ~kClassBits) != 0 || (!operand && op.latex_wraps[k] != 0)) return false;
  }
  return op.latex_class >= LatexClass::Sum && op.latex_class < LatexClass::Leaf && !op.sympy.empty();
}

constexpr bool rows_are_well_formed() {
  for (std::size_t i = 0; i < kOperatorCount; ++i) {
    const OperatorInfo& op = kOperators[i];
    if (static_cast<std::size_t>(op.code) != i) return false;  // a token's code indexes the table
    if (op.arity != 1 && op.arity != 2) return false;
    if (count_in(op.text, "{}") != static_cast<std::size_t>(op.arity)) return false;
    if (op.arity == 1 && op.both_orders) return false;
    if (!companion_forms_are_well_formed(op)) return false;
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
static_assert(rows_are_well_formed(),
              "kOperators: row i holds code i, one \"{}\" per operand, unique names, each operand in the "
              "companion's forms");
static_assert(search_order_is_well_formed(), "kSearchOrder: known codes, each once, unary before binary");

}  // namespace table_checks

}  // namespace zor::discover
