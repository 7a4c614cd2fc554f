// The fast search's child generator against the literal search's loops: the
// same children in the same order, less those whose parents all come before
// the first new parent.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "core/discover/child_generator.hpp"
#include "core/discover/search_detail.hpp"

namespace zor::discover::detail {
namespace {

// The literal search's generation loops over parents of the given token
// counts: unary children of every parent, then for every pair j <= i that
// passes the size test each binary operator, with the swapped child right
// after for operators built in both orders. Children whose parents all come
// before `first_new` are dropped afterwards.
std::vector<Child> reference_children(const std::vector<std::uint64_t>& complexities, std::size_t first_new,
                                      const std::vector<OpCode>& unary, const std::vector<OpCode>& binary,
                                      std::uint64_t max_complexity) {
  std::vector<Child> children;
  auto keep = [&](Child child) {
    if (child.left >= first_new || child.right >= first_new) children.push_back(child);
  };
  const auto n = static_cast<MemberIndex>(complexities.size());
  for (MemberIndex a = 0; a < n; ++a) {
    for (OpCode op : unary) keep(Child{a, a, op});
  }
  for (MemberIndex i = 0; i < n; ++i) {
    for (MemberIndex j = 0; j <= i; ++j) {
      if (complexities[i] + complexities[j] >= max_complexity) continue;
      for (OpCode op : binary) {
        keep(Child{i, j, op});
        if (builds_both_orders(op)) keep(Child{j, i, op});
      }
    }
  }
  return children;
}

std::string describe(const Child& c) {
  return "(" + std::to_string(static_cast<int>(c.op)) + ", " + std::to_string(c.left) + ", " +
         std::to_string(c.right) + ")";
}

// Parents as the search grows them: the seeds (one token each), then levels
// of mixed sizes in no particular order.
std::vector<std::uint64_t> random_complexities(std::mt19937_64& rng, std::size_t seeds, std::size_t size) {
  std::vector<std::uint64_t> complexities(std::min(seeds, size), 1);
  std::uniform_int_distribution<std::uint64_t> token_count(2, 9);
  while (complexities.size() < size) complexities.push_back(token_count(rng));
  return complexities;
}

struct GeneratorCase {
  std::size_t seeds;
  std::size_t size;
  bool use_trig;
  bool use_zor;

  friend void PrintTo(const GeneratorCase& c, std::ostream* os) {
    *os << c.size << " parents (" << c.seeds << " seeds), trig " << c.use_trig << ", zor " << c.use_zor;
  }
};

class ChildGeneratorTest : public testing::TestWithParam<GeneratorCase> {};

TEST_P(ChildGeneratorTest, MatchesTheLiteralLoopsInOrder) {
  const GeneratorCase& c = GetParam();
  SearchOptions options;
  options.use_trig = c.use_trig;
  options.use_zor = c.use_zor;
  const std::vector<OpCode> unary = unary_operators(options);
  const std::vector<OpCode> binary = binary_operators(options);
  std::mt19937_64 rng(c.size * 31 + c.seeds);
  const std::vector<std::uint64_t> complexities = random_complexities(rng, c.seeds, c.size);

  for (std::uint64_t max_complexity : {0, 1, 2, 3, 5, 8, 12}) {
    for (std::size_t first_new : {std::size_t{0}, c.seeds, c.size / 2, c.size - 1, c.size}) {
      if (first_new > c.size) continue;
      const std::vector<Child> expected =
          reference_children(complexities, first_new, unary, binary, max_complexity);
      for (std::size_t capacity : {1, 7, 1 << 20}) {
        SCOPED_TRACE("max_complexity " + std::to_string(max_complexity) + ", first_new " +
                     std::to_string(first_new) + ", capacity " + std::to_string(capacity));
        ChildGenerator generator(complexities, first_new, unary, binary, max_complexity);
        EXPECT_EQ(generator.total(), expected.size());
        std::vector<Child> generated;
        std::vector<Child> block;
        for (generator.fill(block, capacity); !block.empty(); generator.fill(block, capacity)) {
          ASSERT_LE(block.size(), capacity);
          // Every block but the last is full.
          ASSERT_TRUE(generated.size() + block.size() == expected.size() || block.size() == capacity);
          generated.insert(generated.end(), block.begin(), block.end());
          ASSERT_LE(generated.size(), expected.size());
        }
        ASSERT_EQ(generated.size(), expected.size());
        for (std::size_t k = 0; k < expected.size(); ++k) {
          ASSERT_EQ(generated[k], expected[k])
              << "child " << k << ": " << describe(generated[k]) << " instead of " << describe(expected[k]);
        }
      }
    }
  }
}

// With units, the same children less those the dimension table refuses,
// which are counted as pruned: generated and pruned make the total.
TEST_P(ChildGeneratorTest, LeavesOutWhatTheDimensionRulesRefuseAndCountsIt) {
  const GeneratorCase& c = GetParam();
  const std::vector<OpCode> unary = unary_operators(SearchOptions{});
  const std::vector<OpCode> binary = binary_operators(SearchOptions{});
  std::mt19937_64 rng(c.size * 17 + c.seeds);
  const std::vector<std::uint64_t> complexities = random_complexities(rng, c.seeds, c.size);
  // A length, a time and a number, and an unknown dimension: ids 0 to 3.
  const DimensionRules rules({{1.0, 0.0}, {0.0, 1.0}});
  DimensionTable table(rules);
  const DimensionTable::Id length = table.id_of(Expr{{Token::var(0)}});
  const DimensionTable::Id time = table.id_of(Expr{{Token::var(1)}});
  const std::vector<DimensionTable::Id> choices = {DimensionTable::kDimensionless, length, time, 1};
  std::vector<DimensionTable::Id> ids;
  for (std::size_t i = 0; i < c.size; ++i) ids.push_back(choices[rng() % choices.size()]);

  for (std::size_t first_new : {std::size_t{0}, c.size / 2}) {
    std::vector<Child> expected;
    const std::vector<Child> all = reference_children(complexities, first_new, unary, binary, 8);
    for (const Child& child : all)
      if (table.allows(child.op, ids[child.left], ids[right_operand(child)])) expected.push_back(child);
    ChildGenerator generator(complexities, first_new, unary, binary, 8, &table, ids);
    EXPECT_EQ(generator.total(), all.size());
    std::vector<Child> generated;
    std::vector<Child> block;
    for (generator.fill(block, 5); !block.empty(); generator.fill(block, 5))
      generated.insert(generated.end(), block.begin(), block.end());
    EXPECT_EQ(generated, expected);
    EXPECT_EQ(generator.pruned() + generated.size(), all.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Pools, ChildGeneratorTest,
                         testing::Values(GeneratorCase{2, 1, true, true}, GeneratorCase{3, 3, false, false},
                                         GeneratorCase{3, 12, true, false}, GeneratorCase{4, 30, false, true},
                                         GeneratorCase{5, 64, true, true}));

}  // namespace
}  // namespace zor::discover::detail
