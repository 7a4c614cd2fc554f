// The dimension rules: what each operator does to its operands' exponents,
// which formulas break the rules, and the limits of the fixed point.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/discover/dimensions.hpp"
#include "discover_tokens.hpp"

namespace zor::discover {
namespace {

using tokens::C;
using tokens::O;
using tokens::P;
using tokens::V;

// Columns over (length, time): a length, a time, a speed and a number.
const DimensionRules& rules() {
  static const DimensionRules r({{1.0, 0.0}, {0.0, 1.0}, {1.0, -1.0}, {0.0, 0.0}});
  return r;
}
constexpr std::uint64_t kLength = 0, kTime = 1, kSpeed = 2, kNumber = 3;

Dimension powers(double length, double time) {
  return Dimension{
      {static_cast<std::int64_t>(length * kExponentOne), static_cast<std::int64_t>(time * kExponentOne)},
      true};
}

struct RuleCase {
  std::string name;
  std::vector<Token> tokens;
  std::optional<Dimension> expected;  // absent: the formula breaks the rules
};

class DimensionRule : public testing::TestWithParam<RuleCase> {};

TEST_P(DimensionRule, GivesTheFormulasDimension) {
  const RuleCase& c = GetParam();
  EXPECT_EQ(rules().of(Expr{c.tokens}), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Operators, DimensionRule,
    testing::Values(RuleCase{"speed_times_time", {V(kSpeed), V(kTime), O(OpCode::Mul)}, powers(1, 0)},
                    RuleCase{"length_over_speed", {V(kLength), V(kSpeed), O(OpCode::Div)}, powers(0, 1)},
                    RuleCase{"length_plus_speed_times_time",
                             {V(kLength), V(kSpeed), V(kTime), O(OpCode::Mul), O(OpCode::Add)},
                             powers(1, 0)},
                    RuleCase{"length_minus_time", {V(kLength), V(kTime), O(OpCode::Sub)}, std::nullopt},
                    RuleCase{"length_plus_one", {V(kLength), C(1.0), O(OpCode::Add)}, std::nullopt},
                    RuleCase{"number_plus_one", {V(kNumber), C(1.0), O(OpCode::Add)}, powers(0, 0)},
                    RuleCase{"exp_of_time", {V(kTime), O(OpCode::Exp)}, std::nullopt},
                    RuleCase{"ln_of_ratio",
                             {V(kLength), V(kSpeed), V(kTime), O(OpCode::Mul), O(OpCode::Div), O(OpCode::Ln)},
                             powers(0, 0)},
                    RuleCase{"sin_of_number", {V(kNumber), O(OpCode::Sin)}, powers(0, 0)},
                    RuleCase{"cos_of_length", {V(kLength), O(OpCode::Cos)}, std::nullopt},
                    RuleCase{"zor_of_numbers", {V(kNumber), C(1.0), O(OpCode::Zor)}, powers(0, 0)},
                    RuleCase{"zor_of_a_length", {V(kNumber), V(kLength), O(OpCode::Zor)}, std::nullopt},
                    RuleCase{"sqrt_halves", {V(kSpeed), O(OpCode::Sqrt)}, powers(0.5, -0.5)},
                    RuleCase{"square_doubles", {V(kSpeed), O(OpCode::Square)}, powers(2, -2)},
                    RuleCase{"recip_negates", {V(kTime), O(OpCode::Recip)}, powers(0, -1)},
                    RuleCase{"neg_and_abs_keep", {V(kSpeed), O(OpCode::Neg), O(OpCode::Abs)}, powers(1, -1)},
                    RuleCase{"parameter_is_a_number", {P(0, 2.0), V(kTime), O(OpCode::Mul)}, powers(0, 1)},
                    RuleCase{"unknown_variable", {V(9)}, std::nullopt},
                    RuleCase{"malformed", {V(kLength), O(OpCode::Add)}, std::nullopt}),
    [](const testing::TestParamInfo<RuleCase>& info) { return info.param.name; });

// sqrt(sqrt(...(x))) 21 times: the last halving leaves the fixed point.
std::vector<Token> nested_roots(std::size_t depth) {
  std::vector<Token> tokens{V(kLength)};
  for (std::size_t i = 0; i < depth; ++i) tokens.push_back(O(OpCode::Sqrt));
  return tokens;
}

TEST(DimensionRules, AnExponentBeyondTheFixedPointIsUnknownAndNeverAddedNorAFunctionsOperand) {
  const std::optional<Dimension> deepest_exact = rules().of(Expr{nested_roots(kExponentFractionBits)});
  ASSERT_TRUE(deepest_exact && deepest_exact->known);
  EXPECT_EQ(deepest_exact->exponents[0], 1);

  std::vector<Token> root = nested_roots(kExponentFractionBits + 1);
  const std::optional<Dimension> unknown = rules().of(Expr{root});
  ASSERT_TRUE(unknown.has_value());
  EXPECT_FALSE(unknown->known);
  EXPECT_FALSE(unknown->dimensionless());

  std::vector<Token> product = root;  // an unknown dimension times anything stays unknown
  product.insert(product.end(), {V(kNumber), O(OpCode::Mul)});
  EXPECT_FALSE(rules().of(Expr{product})->known);
  std::vector<Token> sum = root;  // but is never added, even to itself
  sum.insert(sum.end(), root.begin(), root.end());
  sum.push_back(O(OpCode::Add));
  EXPECT_FALSE(rules().of(Expr{sum}).has_value());
  std::vector<Token> function = root;
  function.push_back(O(OpCode::Exp));
  EXPECT_FALSE(rules().of(Expr{function}).has_value());
}

TEST(DimensionRules, RepeatedSquaresBecomeUnknownInsteadOfOverflowing) {
  std::vector<Token> tokens{V(kLength)};
  for (int i = 0; i < 40; ++i) tokens.push_back(O(OpCode::Square));
  const std::optional<Dimension> d = rules().of(Expr{tokens});
  ASSERT_TRUE(d.has_value());
  EXPECT_FALSE(d->known);
}

TEST(DimensionRules, RefuseExponentsThatDoNotFitTheColumnsOrTheFixedPoint) {
  EXPECT_FALSE(DimensionRules::problem({{1.0, 0.5}, {-2.0, 0.25}}, 2));
  EXPECT_TRUE(DimensionRules::problem({{1.0}}, 2));              // one column short
  EXPECT_TRUE(DimensionRules::problem({{1.0}, {1.0, 0.0}}, 2));  // ragged
  EXPECT_TRUE(DimensionRules::problem({{1.0 / 3.0}}, 1));        // not a multiple of 2^-20
  EXPECT_TRUE(DimensionRules::problem({{tokens::kNaN}}, 1));
  EXPECT_TRUE(DimensionRules::problem({{4294967296.0}}, 1));  // 2^32
}

TEST(DimensionTable, NamesEqualDimensionsAlikeAndAllowsExactlyWhatTheRulesAllow) {
  DimensionTable table(rules());
  const std::vector<std::vector<Token>> formulas = {{V(kLength)},
                                                    {V(kTime)},
                                                    {V(kSpeed)},
                                                    {V(kNumber)},
                                                    {C(1.0)},
                                                    {V(kSpeed), V(kTime), O(OpCode::Mul)},
                                                    nested_roots(kExponentFractionBits + 1)};
  std::vector<DimensionTable::Id> ids;
  for (const std::vector<Token>& f : formulas) ids.push_back(table.id_of(Expr{f}));
  EXPECT_EQ(ids[3], DimensionTable::kDimensionless);
  EXPECT_EQ(ids[4], DimensionTable::kDimensionless);
  EXPECT_EQ(ids[5], ids[0]);  // v·t is a length
  EXPECT_NE(ids[0], ids[1]);
  for (std::size_t a = 0; a < formulas.size(); ++a) {
    for (std::size_t b = 0; b < formulas.size(); ++b) {
      for (std::size_t code = 0; code < kOperatorCount; ++code) {
        const auto op = static_cast<OpCode>(code);
        std::vector<Token> child = formulas[a];
        if (arity(op) == 2) child.insert(child.end(), formulas[b].begin(), formulas[b].end());
        child.push_back(O(op));
        const std::size_t right = arity(op) == 2 ? b : a;
        EXPECT_EQ(table.allows(op, ids[a], ids[right]), rules().of(Expr{child}).has_value())
            << "operator " << code << " over formulas " << a << ", " << b;
      }
    }
  }
}

}  // namespace
}  // namespace zor::discover
