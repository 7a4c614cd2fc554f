// Expression evaluation, rendering and output fingerprints of formula discovery.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "core/discover/expr.hpp"
#include "core/discover/fingerprint.hpp"
#include "core/discover/render.hpp"
#include "core/numeric.hpp"
#include "discover_tokens.hpp"

namespace zor::discover {
namespace {

using namespace tokens;
using enum OpCode;

// ---------------------------------------------------------------------------
// evaluate

struct EvalCase {
  const char* name;
  std::vector<Token> tokens;
  std::vector<double> row;
  std::vector<double> params;
  std::optional<double> expected;  // compared bit for bit
};

class EvaluateTest : public testing::TestWithParam<EvalCase> {};

TEST_P(EvaluateTest, MatchesExpectedBits) {
  const EvalCase& c = GetParam();
  const std::optional<double> got = evaluate(Expr{c.tokens}, c.row, c.params);
  ASSERT_EQ(got.has_value(), c.expected.has_value()) << (got ? *got : 0.0);
  if (got) {
    EXPECT_EQ(bits(*got), bits(*c.expected)) << *got << " vs " << *c.expected;
  }
}

INSTANTIATE_TEST_SUITE_P(Leaves, EvaluateTest,
                         testing::Values(EvalCase{"Empty", {}, {1.0}, {}, std::nullopt},
                                         EvalCase{"Const", {C(2.5)}, {}, {}, 2.5},
                                         EvalCase{"VarNaNPassesUntested", {V(0)}, {kNaN}, {}, kNaN},
                                         EvalCase{"ConstInfPassesUntested", {C(kInf)}, {}, {}, kInf},
                                         EvalCase{"VarBeyondRow", {V(1)}, {1.0}, {}, std::nullopt},
                                         EvalCase{"VarSecond", {V(1)}, {1.0, 3.0}, {}, 3.0},
                                         EvalCase{"ParamStored", {P(0, 2.5)}, {}, {}, 2.5},
                                         EvalCase{"ParamGiven", {P(0, 2.5)}, {}, {7.0}, 7.0},
                                         EvalCase{"ParamBeyondList", {P(1, 2.5)}, {}, {7.0}, 2.5}),
                         [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Guards, EvaluateTest,
    testing::Values(EvalCase{"LnZero", {V(0), O(Ln)}, {0.0}, {}, std::nullopt},
                    EvalCase{"LnNegative", {V(0), O(Ln)}, {-1.0}, {}, std::nullopt},
                    EvalCase{"LnOne", {V(0), O(Ln)}, {1.0}, {}, 0.0},
                    EvalCase{"SqrtMinusZero", {V(0), O(Sqrt)}, {-0.0}, {}, -0.0},
                    EvalCase{"SqrtTinyNegative", {V(0), O(Sqrt)}, {-1e-300}, {}, std::nullopt},
                    EvalCase{"RecipBelowFloor", {V(0), O(Recip)}, {1e-301}, {}, std::nullopt},
                    EvalCase{"RecipAtFloor", {V(0), O(Recip)}, {1e-300}, {}, 1.0 / 1e-300},
                    EvalCase{"RecipNegativeBelowFloor", {V(0), O(Recip)}, {-1e-301}, {}, std::nullopt},
                    EvalCase{"DivByZero", {C(1.0), V(0), O(Div)}, {0.0}, {}, std::nullopt},
                    EvalCase{"DivBelowFloor", {C(1.0), V(0), O(Div)}, {5e-301}, {}, std::nullopt},
                    EvalCase{"DivAtFloor", {C(1e-10), V(0), O(Div)}, {-1e-300}, {}, 1e-10 / -1e-300},
                    EvalCase{"ExpOverflow", {C(710.0), O(Exp)}, {}, {}, std::nullopt},
                    EvalCase{"NegInfResult", {C(kInf), O(Neg)}, {}, {}, std::nullopt},
                    EvalCase{"NaNReachesAbs", {V(0), O(Abs)}, {kNaN}, {}, std::nullopt},
                    EvalCase{"NaNReachesLn", {V(0), O(Ln)}, {kNaN}, {}, std::nullopt},
                    EvalCase{"AddOverflow", {C(1e308), C(1e308), O(Add)}, {}, {}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Operators, EvaluateTest,
    testing::Values(EvalCase{"NegZero", {V(0), O(Neg)}, {0.0}, {}, -0.0},
                    EvalCase{"Recip", {V(0), O(Recip)}, {4.0}, {}, 0.25},
                    EvalCase{"Sin", {V(0), O(Sin)}, {0.5}, {}, std::sin(0.5)},
                    EvalCase{"Cos", {V(0), O(Cos)}, {0.5}, {}, std::cos(0.5)},
                    EvalCase{"Abs", {V(0), O(Abs)}, {-3.0}, {}, 3.0},
                    EvalCase{"SubIsLeftMinusRight", {V(0), C(1.0), O(Sub)}, {5.0}, {}, 4.0},
                    EvalCase{"DivIsLeftOverRight", {V(0), C(4.0), O(Div)}, {2.0}, {}, 0.5},
                    EvalCase{"Mul", {V(0), V(1), O(Mul)}, {3.0, -2.0}, {}, -6.0},
                    EvalCase{"ZorOfX", {V(0), V(0), O(Zor)}, {1.0}, {}, 2.718281828459045},
                    EvalCase{"ZorRightZeroFloored", {C(0.0), C(0.0), O(Zor)}, {}, {}, 1.0 - std::log(1e-300)},
                    EvalCase{"ZorRightNegative", {C(0.0), C(-2.0), O(Zor)}, {}, {}, 1.0 - std::log(2.0)},
                    EvalCase{
                        "ZorLargeLeftFolded", {C(710.0), C(1.0), O(Zor)}, {}, {}, std::exp(std::log(710.0))},
                    EvalCase{"XTimesExpX", {V(0), V(0), O(Exp), O(Mul)}, {2.0}, {}, 2.0 * std::exp(2.0)}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Malformed, EvaluateTest,
    testing::Values(EvalCase{"BinaryWithOneOperand", {C(1.0), O(Add)}, {}, {}, std::nullopt},
                    EvalCase{"UnaryWithoutOperand", {O(Neg)}, {}, {}, std::nullopt},
                    EvalCase{"TwoValuesLeft", {C(1.0), C(2.0)}, {}, {}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EvaluateZor, AgreesWithSharedZorBitForBit) {
  const std::vector<double> values = {-800.0, -1.0, -0.0, 0.0, 1e-310, 0.5, 1.0, 700.0, 709.78, 709.79, 1e5};
  const Expr expr{{V(0), V(1), O(Zor)}};
  for (double a : values) {
    for (double b : values) {
      const double expected = zor::zor(a, b);
      const std::optional<double> got = evaluate(expr, {a, b}, {});
      if (!std::isfinite(expected)) {
        EXPECT_FALSE(got.has_value()) << a << ", " << b;
      } else {
        ASSERT_TRUE(got.has_value()) << a << ", " << b;
        EXPECT_EQ(bits(*got), bits(expected)) << a << ", " << b;
      }
    }
  }
}

TEST(Complexity, CountsEveryToken) {
  EXPECT_EQ(complexity(Expr{}), 0u);
  EXPECT_EQ(complexity(Expr{{V(0)}}), 1u);
  EXPECT_EQ(complexity(Expr{{V(0), O(Exp)}}), 2u);
  EXPECT_EQ(complexity(Expr{{V(0), V(0), O(Exp), O(Mul)}}), 4u);
  EXPECT_EQ(complexity(Expr{{V(0), C(1.0), O(Zor)}}), 3u);
}

// ---------------------------------------------------------------------------
// evaluate_columns and validate_columns

struct ColumnsCase {
  const char* name;
  std::vector<Token> tokens;
  std::vector<std::vector<double>> columns;
  std::optional<std::vector<double>> expected;
};

class EvaluateColumnsTest : public testing::TestWithParam<ColumnsCase> {};

TEST_P(EvaluateColumnsTest, RowByRow) {
  const ColumnsCase& c = GetParam();
  EXPECT_EQ(evaluate_columns(Expr{c.tokens}, c.columns, {}), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, EvaluateColumnsTest,
    testing::Values(
        ColumnsCase{"Product", {V(0), V(1), O(Mul)}, {{1, 2, 3}, {4, 5, 6}}, std::vector<double>{4, 10, 18}},
        ColumnsCase{"SecondRowFails", {V(0), O(Ln)}, {{1, 0, 2}}, std::nullopt},
        ColumnsCase{"LongerSecondColumnIgnoresExtra", {V(1)}, {{1, 2}, {7, 8, 9}}, std::vector<double>{7, 8}},
        ColumnsCase{"NoRows", {V(0), O(Ln)}, {{}}, std::vector<double>{}},
        ColumnsCase{"VarBeyondColumns", {V(2)}, {{1}, {2}}, std::nullopt},
        ColumnsCase{"NoColumns", {C(1.0)}, {}, std::nullopt},
        ColumnsCase{"ShorterSecondColumn", {C(1.0)}, {{1, 2, 3}, {1}}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ValidateColumns, ReportsUnusableShapes) {
  struct Case {
    std::vector<std::vector<double>> columns;
    std::optional<std::string> message;
  };
  const std::vector<Case> cases = {
      {{}, "x_data must hold at least one column"},
      {{{1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}, {1, 2, 3}}, "x_data column 2 has 3 values but column 0 has 5"},
      {{{1, 2}, {}}, "x_data column 1 has 0 values but column 0 has 2"},
      {{{}}, std::nullopt},
      {{{1, 2}, {1, 2, 3}}, std::nullopt},
      {{{1, 2, 3}}, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(validate_columns(c.columns), c.message);
}

// ---------------------------------------------------------------------------
// render_formula

struct RenderCase {
  const char* name;
  std::vector<Token> tokens;
  std::string expected;
};

class RenderTest : public testing::TestWithParam<RenderCase> {};

TEST_P(RenderTest, PlainText) { EXPECT_EQ(render_formula(Expr{GetParam().tokens}), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Variables, RenderTest,
                         testing::Values(RenderCase{"X", {V(0)}, "x"}, RenderCase{"Y", {V(1)}, "y"},
                                         RenderCase{"Z", {V(2)}, "z"}, RenderCase{"Brace", {V(3)}, "{"},
                                         RenderCase{"Delete", {V(7)}, "\x7F"},
                                         RenderCase{"FirstTwoByte", {V(8)}, "\xC2\x80"},
                                         RenderCase{"LastTwoByte", {V(135)}, "\xC3\xBF"},
                                         RenderCase{"WrapsToNul", {V(136)}, std::string(1, '\0')},
                                         RenderCase{"WrapsToX", {V(256)}, "x"}),
                         [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Constants, RenderTest,
    testing::Values(RenderCase{"One", {C(1.0)}, "1.0000"}, RenderCase{"Half", {C(0.5)}, "0.5000"},
                    RenderCase{"Rounded", {C(1.23456)}, "1.2346"}, RenderCase{"Zero", {C(0.0)}, "0.0000"},
                    RenderCase{"MinusZero", {C(-0.0)}, "-0.0000"},
                    RenderCase{"Large", {C(1e20)}, "100000000000000000000.0000"},
                    RenderCase{"NaN", {C(kNaN)}, "NaN"}, RenderCase{"MinusInf", {C(-kInf)}, "-inf"},
                    RenderCase{"Pi", {C(std::numbers::pi)}, "\xCF\x80"},
                    RenderCase{"NearPi", {C(3.1416)}, "3.1416"},
                    RenderCase{"NextAfterPi", {C(std::nextafter(std::numbers::pi, 4.0))}, "3.1416"},
                    RenderCase{"E", {C(std::numbers::e)}, "e"},
                    RenderCase{"Param", {P(0, 2.5)}, "c0(2.5000)"},
                    RenderCase{"ParamTwelve", {P(12, -1.0)}, "c12(-1.0000)"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Operators, RenderTest,
    testing::Values(RenderCase{"Neg", {V(0), O(Neg)}, "(-x)"}, RenderCase{"Recip", {V(0), O(Recip)}, "(1/x)"},
                    RenderCase{"Exp", {V(0), O(Exp)}, "exp(x)"}, RenderCase{"Ln", {V(0), O(Ln)}, "ln(x)"},
                    RenderCase{"Sqrt", {V(0), O(Sqrt)}, "sqrt(x)"},
                    RenderCase{"Sin", {V(0), O(Sin)}, "sin(x)"}, RenderCase{"Cos", {V(0), O(Cos)}, "cos(x)"},
                    RenderCase{"Abs", {V(0), O(Abs)}, "abs(x)"},
                    RenderCase{"Zor", {V(0), V(0), O(Zor)}, "zor(x, x)"},
                    RenderCase{"ZorOne", {V(0), C(1.0), O(Zor)}, "zor(x, 1.0000)"},
                    RenderCase{"SubOrder", {C(1.0), V(0), O(Sub)}, "(1.0000 - x)"},
                    RenderCase{"DivOrder", {V(1), V(0), O(Div)}, "(y / x)"},
                    RenderCase{"XTimesExpX", {V(0), V(0), O(Exp), O(Mul)}, "(x * exp(x))"},
                    RenderCase{"RecipOfSum", {V(0), C(1.0), O(Add), O(Recip)}, "(1/(x + 1.0000))"},
                    RenderCase{"SqrtOfSum", {V(0), C(1.0), O(Add), O(Sqrt)}, "sqrt((x + 1.0000))"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Malformed, RenderTest,
                         testing::Values(RenderCase{"Empty", {}, "?"},
                                         RenderCase{"MissingLeft", {V(0), O(Add)}, "( + x)"},
                                         RenderCase{"NoOperands", {O(Mul)}, "( * )"},
                                         RenderCase{"UnaryEmpty", {O(Exp)}, "exp()"},
                                         RenderCase{"SurplusDropped", {C(1.0), C(2.0)}, "2.0000"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// to_latex and to_python

struct RewriteCase {
  const char* name;
  std::string formula;
  std::string expected;
};

class LatexTest : public testing::TestWithParam<RewriteCase> {};
TEST_P(LatexTest, Rewrites) { EXPECT_EQ(to_latex(GetParam().formula), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Table, LatexTest,
    testing::Values(RewriteCase{"Zor", "zor(x, x)", "\\mathrm{zor}(x, x)"},
                    RewriteCase{"ExpOverSqrtLn", "(exp(x) / sqrt(ln(x)))", "(\\exp(x) / \\sqrt{\\ln(x)})"},
                    RewriteCase{"SqrtOfSum", "sqrt((x + 1.0000))", "\\sqrt{(x + 1.0000)}"},
                    RewriteCase{"NestedSqrt", "sqrt(sqrt(x))", "\\sqrt{\\sqrt{x}}"},
                    RewriteCase{"SqrtThenParens", "(sqrt(exp(x)) * (x + 1.0000))",
                                "(\\sqrt{\\exp(x)} * (x + 1.0000))"},
                    RewriteCase{"TwoSqrts", "(sqrt(x) + sqrt(y))", "(\\sqrt{x} + \\sqrt{y})"},
                    RewriteCase{"Trig", "sin(cos(x))", "\\sin(\\cos(x))"},
                    RewriteCase{"EveryOccurrence", "(exp(x) + exp(y))", "(\\exp(x) + \\exp(y))"},
                    RewriteCase{"Untouched", "(abs((-x)) / (1/x))", "(abs((-x)) / (1/x))"},
                    RewriteCase{"PiLetter", "\xCF\x80", "\xCF\x80"}, RewriteCase{"PiWord", "pi", "\\pi"},
                    RewriteCase{"UnclosedSqrt", "sqrt(x", "\\sqrt{x"},
                    RewriteCase{"StrayClose", "x) + sqrt(y)", "x) + \\sqrt{y}"}),
    [](const auto& info) { return std::string(info.param.name); });

class PythonTest : public testing::TestWithParam<RewriteCase> {};
TEST_P(PythonTest, Rewrites) {
  EXPECT_EQ(to_python(GetParam().formula), "import math\nf = lambda x: " + GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, PythonTest,
                         testing::Values(RewriteCase{"ExpSin", "(x * exp(sin(x)))",
                                                     "(x * math.exp(math.sin(x)))"},
                                         RewriteCase{"Log", "ln((x + 1.0000))", "math.log((x + 1.0000))"},
                                         RewriteCase{"SqrtCos", "sqrt(cos(x))", "math.sqrt(math.cos(x))"},
                                         RewriteCase{"ZorKept", "zor(x, x)", "zor(x, x)"},
                                         RewriteCase{"AbsKept", "abs(x)", "abs(x)"},
                                         RewriteCase{"NumberKept", "(x + 1.0000)", "(x + 1.0000)"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// fingerprint

Fingerprint repeated(std::int64_t upper, std::int64_t lower) {
  Fingerprint fp{};
  for (std::size_t j = 0; j < PROBE_POINTS.size(); ++j) {
    fp[2 * j] = upper;
    fp[2 * j + 1] = lower;
  }
  return fp;
}

TEST(ProbePoints, HaveTheirBitPatterns) {
  const std::uint64_t expected[] = {0x3FE2788CFC6FB618, 0x3FF484D24F2FD873, 0x3FF9E3779B97F4A8,
                                    0x3FE62E42FEFA39EF, 0x3FF33BA004F00621};
  for (std::size_t j = 0; j < PROBE_POINTS.size(); ++j) EXPECT_EQ(bits(PROBE_POINTS[j]), expected[j]) << j;
}

TEST(FingerprintValue, KnownPatterns) {
  struct Case {
    const char* name;
    std::vector<Token> tokens;
    Fingerprint expected;
  };
  const std::vector<Case> cases = {
      {"Zero", {C(0.0)}, repeated(0, 0)},
      {"One", {C(1.0)}, repeated(1072693248, 0)},
      {"MinusZero", {C(0.0), O(Neg)}, repeated(-2147483648LL, 0)},
  };
  for (const Case& c : cases) {
    const std::optional<Fingerprint> fp = fingerprint(Expr{c.tokens}, 1);
    ASSERT_TRUE(fp.has_value()) << c.name;
    EXPECT_EQ(*fp, c.expected) << c.name;
  }
}

TEST(FingerprintValue, SplitsBitsIntoSignedUpperAndUnsignedLower) {
  // At the first probe x is 0x3FE2788C'FC6FB618: the lower half has its top
  // bit set and must stay positive; the negated value has a negative upper half.
  const std::optional<Fingerprint> x = fingerprint(Expr{{V(0)}}, 1);
  const std::optional<Fingerprint> minus_x = fingerprint(Expr{{V(0), O(Neg)}}, 1);
  ASSERT_TRUE(x && minus_x);
  EXPECT_EQ((*x)[0], 1071806604);
  EXPECT_EQ((*x)[1], 4235179544LL);
  EXPECT_EQ((*minus_x)[0], -1075677044);
  EXPECT_EQ((*minus_x)[1], 4235179544LL);
}

TEST(FingerprintValue, VariablesGetMultiplesOfTheProbe) {
  const std::optional<Fingerprint> x1 = fingerprint(Expr{{V(1)}}, 3);
  const std::optional<Fingerprint> x2 = fingerprint(Expr{{V(2)}}, 3);
  const std::optional<Fingerprint> two_x = fingerprint(Expr{{C(2.0), V(0), O(Mul)}}, 3);
  const std::optional<Fingerprint> three_x = fingerprint(Expr{{C(3.0), V(0), O(Mul)}}, 3);
  ASSERT_TRUE(x1 && x2 && two_x && three_x);
  EXPECT_EQ(*x1, *two_x);
  EXPECT_EQ(*x2, *three_x);
  EXPECT_NE(fingerprint(Expr{{V(0)}}, 3), x1);
  EXPECT_EQ(fingerprint(Expr{{V(0)}}, 3), fingerprint(Expr{{V(0)}}, 1));
}

TEST(FingerprintValue, Absent) {
  struct Case {
    const char* name;
    std::vector<Token> tokens;
    std::size_t n_vars;
  };
  const std::vector<Case> cases = {
      {"LnOfXMinusOne", {V(0), C(1.0), O(Sub), O(Ln)}, 1},
      {"SqrtOfXMinusOne", {V(0), C(1.0), O(Sub), O(Sqrt)}, 1},
      {"OneOverZero", {C(1.0), C(0.0), O(Div)}, 1},
      {"DivByXMinusX", {C(1.0), V(0), V(0), O(Sub), O(Div)}, 1},
      {"ExpFourTimes", {V(0), O(Exp), O(Exp), O(Exp), O(Exp)}, 1},
      {"VarOutsideRow", {V(1)}, 1},
      {"NoVariables", {V(0)}, 0},
      {"InfiniteLeaf", {C(kInf)}, 1},
      {"NaNLeaf", {C(kNaN)}, 1},
      {"Malformed", {C(1.0), C(2.0)}, 1},
  };
  for (const Case& c : cases) EXPECT_FALSE(fingerprint(Expr{c.tokens}, c.n_vars).has_value()) << c.name;
}

TEST(FingerprintValue, ExpFourTimesIsFiniteAtTheFirstProbeOnly) {
  const Expr expr{{V(0), O(Exp), O(Exp), O(Exp), O(Exp)}};
  EXPECT_TRUE(evaluate(expr, {PROBE_POINTS[0]}, {}).has_value());
  EXPECT_FALSE(evaluate(expr, {PROBE_POINTS[1]}, {}).has_value());
}

TEST(FingerprintValue, RepeatsOfConstantSeeds) {
  struct Case {
    const char* name;
    std::vector<Token> tokens;
    double seed;
  };
  const std::vector<Case> cases = {
      {"ExpZero", {C(0.0), O(Exp)}, 1.0},     {"LnOne", {C(1.0), O(Ln)}, 0.0},
      {"SqrtOne", {C(1.0), O(Sqrt)}, 1.0},    {"OneOverOne", {C(1.0), C(1.0), O(Div)}, 1.0},
      {"SinZero", {C(0.0), O(Sin)}, 0.0},     {"CosZero", {C(0.0), O(Cos)}, 1.0},
      {"XMinusX", {V(0), V(0), O(Sub)}, 0.0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fingerprint(Expr{c.tokens}, 1), fingerprint(Expr{{C(c.seed)}}, 1)) << c.name;
  }
}

// ---------------------------------------------------------------------------
// FingerprintSet

TEST(FingerprintSetTest, InsertIfAbsentReportsDuplicates) {
  FingerprintSet seen;
  const Fingerprint zero = repeated(0, 0);
  Fingerprint last_differs = zero;
  last_differs[9] = 1;
  EXPECT_TRUE(seen.insert_if_absent(zero));
  EXPECT_FALSE(seen.insert_if_absent(zero));
  EXPECT_TRUE(seen.insert_if_absent(last_differs));
  EXPECT_FALSE(seen.insert_if_absent(last_differs));
  EXPECT_EQ(seen.size(), 2u);
}

TEST(FingerprintSetTest, KeepsEveryMemberWhileGrowing) {
  FingerprintSet seen;
  constexpr std::int64_t kCount = 50000;
  auto make = [](std::int64_t i) {
    Fingerprint fp{};
    fp[static_cast<std::size_t>(i % 10)] = i;  // many share all but one element
    fp[0] ^= i / 10;
    return fp;
  };
  for (std::int64_t i = 1; i <= kCount; ++i) ASSERT_TRUE(seen.insert_if_absent(make(i))) << i;
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kCount));
  for (std::int64_t i = 1; i <= kCount; ++i) ASSERT_FALSE(seen.insert_if_absent(make(i))) << i;
  EXPECT_FALSE(seen.contains(make(kCount + 1)));
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kCount));
}

}  // namespace
}  // namespace zor::discover
