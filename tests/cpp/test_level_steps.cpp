// The level split into shard searches with parents of their own, talking in
// encoded messages as other processes would, against the one-machine search.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/discover/level_steps.hpp"
#include "core/discover/search.hpp"
#include "core/discover/shard_search.hpp"
#include "search_problems.hpp"

namespace zor::discover {
namespace {

using problems::canonical_bits;
using problems::expect_same_candidate;
using problems::Problem;
using problems::ProblemMaker;

// `parts` shard searches in this process, each reached only through the
// byte encodings.
class InProcessRunner final : public LevelRunner {
 public:
  InProcessRunner(const Problem& p, std::size_t parts, bool keep_front, std::uint64_t memory_limit = 0) {
    for (std::size_t i = 0; i < parts; ++i) {
      shards_.push_back(std::make_unique<ShardSearch>(p.columns, p.y, p.options, shard_range(i, parts),
                                                      keep_front, nullptr, nullptr, memory_limit,
                                                      p.dimensions ? &*p.dimensions : nullptr));
      limits_.push_back(memory_limit);
    }
  }

  std::vector<LevelPart> expand(const LevelStart& start) override {
    const std::string message = encode(start);
    std::vector<LevelPart> parts;
    for (auto& shard : shards_) parts.push_back(decode_part(encode(shard->expand(decode_start(message)))));
    return parts;
  }
  std::vector<std::uint64_t> memory_limits() const override { return limits_; }

 private:
  std::vector<std::unique_ptr<ShardSearch>> shards_;
  std::vector<std::uint64_t> limits_;
};

void expect_same_split_outcome(const Problem& p, std::size_t parts, const std::string& where) {
  if (validate_columns(p.columns)) return;  // refused before any shard search exists
  SearchControl control = p.control();
  control.keep_front = true;
  const SearchOutcome whole = beam_search(p.columns, p.y, p.options, control);
  InProcessRunner runner(p, parts, true);
  control.runner = &runner;
  const SearchOutcome split = beam_search(p.columns, p.y, p.options, control);
  ASSERT_EQ(split.best.has_value(), whole.best.has_value()) << where;
  if (split.best) {
    expect_same_candidate(*split.best, *whole.best, where + " best");
    EXPECT_EQ(canonical_bits(split.best->scale), canonical_bits(whole.best->scale)) << where;
    EXPECT_EQ(canonical_bits(split.best->offset), canonical_bits(whole.best->offset)) << where;
  }
  ASSERT_EQ(split.front.size(), whole.front.size()) << where;
  for (std::size_t i = 0; i < split.front.size(); ++i) {
    expect_same_candidate(split.front[i], whole.front[i], where + " front " + std::to_string(i));
  }
  EXPECT_EQ(split.generated, whole.generated) << where;
  EXPECT_EQ(split.admitted, whole.admitted) << where;
  EXPECT_EQ(split.pruned, whole.pruned) << where;
  // A part prunes against its own children only, so it may score more in full.
  EXPECT_GE(split.scored, whole.scored) << where;
}

class SplitLevels : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SplitLevels, MatchTheOneMachineSearchOnRandomProblems) {
  ProblemMaker maker(0x5eed0000 + GetParam());
  for (int i = 0; i < 150; ++i) {
    Problem p = maker.make();
    p.options.scaling = i % 2 == 1;
    expect_same_split_outcome(p, GetParam(), "problem " + std::to_string(i));
  }
}

TEST_P(SplitLevels, MatchTheOneMachineSearchWithUnits) {
  ProblemMaker maker(0x0d1e0000 + GetParam());
  for (int i = 0; i < 60; ++i) {
    Problem p = maker.make_with_dimensions();
    p.options.scaling = i % 2 == 0;
    expect_same_split_outcome(p, GetParam(), "problem " + std::to_string(i));
  }
}

INSTANTIATE_TEST_SUITE_P(Parts, SplitLevels, ::testing::Values(1, 2, 3, 7, 64));

TEST(SplitLevels, MatchOnWideBeamsWhereEveryLevelIsPruned) {
  ProblemMaker maker(77);
  for (int i = 0; i < 12; ++i) {
    Problem p = maker.make();
    p.options.max_complexity = 7;
    p.options.beam_width = i % 3 == 0 ? 40 : 4000;
    p.options.scaling = i % 2 == 0;
    expect_same_split_outcome(p, 3, "problem " + std::to_string(i));
  }
}

TEST(SplitLevels, ALevelThatOutgrowsTheClusterIsRefusedNamingItsTotal) {
  Problem p;
  p.columns = {{0.5, 1.5, 2.5, 3.5}, {1.0, 2.0, 3.0, 5.0}};
  p.y = {1.0, 7.0, 2.0, 8.0};
  p.options.max_complexity = 9;
  p.options.beam_width = 100000;
  InProcessRunner runner(p, 2, false, 4u << 20);
  SearchControl control;
  control.runner = &runner;
  try {
    beam_search(p.columns, p.y, p.options, control);
    FAIL() << "the search should not fit";
  } catch (const SearchMemoryExceeded& e) {
    EXPECT_NE(std::string(e.what()).find("usable on 2 workers"), std::string::npos) << e.what();
  }
}

LevelPart sample_part() {
  LevelPart part;
  part.generated = 123456789;
  part.admitted = 77;
  part.scored = 5;
  part.pruned = 31;
  part.seen_entries = 1u << 30;
  part.cut_short = true;
  part.phases.scoring = 0.25;
  detail::Ranked r{-0.0, tokens::kNaN, 42, detail::Child{3, 9, OpCode::Zor}};
  r.unscaled_score = tokens::kInf;
  r.scale = 5e-324;
  r.offset = -1.5;
  r.shape = ~std::uint64_t{0};
  r.size = 11;
  part.candidates = {r, r};
  part.candidates[1].seq = 43;
  return part;
}

TEST(LevelMessages, RoundTripEveryFieldToTheBit) {
  LevelStart start;
  start.level = 9;
  start.first_new = 1000;
  start.adopted = {detail::Child{1, 2, OpCode::Add}, detail::Child{4, 4, OpCode::Sin}};
  start.best_score = tokens::kNaN;
  start.front_scores = {std::nullopt, 0.5, -0.0};
  const LevelStart back = decode_start(encode(start));
  EXPECT_EQ(back.level, 9u);
  EXPECT_EQ(back.first_new, 1000u);
  EXPECT_EQ(back.adopted, start.adopted);
  ASSERT_TRUE(back.best_score.has_value());
  EXPECT_TRUE(std::isnan(*back.best_score));
  ASSERT_EQ(back.front_scores.size(), 3u);
  EXPECT_FALSE(back.front_scores[0].has_value());
  EXPECT_EQ(canonical_bits(*back.front_scores[2]), canonical_bits(-0.0));

  const LevelPart part = sample_part();
  const LevelPart copy = decode_part(encode(part));
  EXPECT_EQ(encode(copy), encode(part));
  EXPECT_EQ(copy.candidates[0].child, part.candidates[0].child);
  EXPECT_EQ(canonical_bits(copy.candidates[0].scale), canonical_bits(5e-324));
  EXPECT_TRUE(copy.cut_short);
}

TEST(LevelMessages, RefuseWhatIsNotAWholeMessage) {
  const std::string part = encode(sample_part());
  const std::string start = encode(LevelStart{});
  std::string bad_operator = part;
  // The first candidate's operator code sits after its score, rmse, seq and operands.
  bad_operator[4 + 4 + 5 * 8 + 1 + sizeof(PhaseSeconds) + 8 + 3 * 8 + 8] = static_cast<char>(0xff);
  for (const std::string& bytes :
       {part.substr(0, part.size() - 1), part + "x", std::string(), start, bad_operator}) {
    EXPECT_THROW(decode_part(bytes), std::invalid_argument);
  }
  EXPECT_THROW(decode_start(part), std::invalid_argument);
  // A count larger than the bytes that follow it is refused before anything is allocated.
  std::string huge = start;
  huge.replace(4 + 4 + 8 + 8, 8, std::string(8, '\xff'));
  EXPECT_THROW(decode_start(huge), std::invalid_argument);
}

}  // namespace
}  // namespace zor::discover
