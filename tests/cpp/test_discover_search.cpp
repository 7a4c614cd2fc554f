// Candidate scoring and the beam search of formula discovery.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/discover/expr.hpp"
#include "core/discover/render.hpp"
#include "core/discover/search.hpp"
#include "core/numeric.hpp"
#include "discover_tokens.hpp"

namespace zor::discover {
namespace {

using namespace tokens;
using enum OpCode;

SearchOptions with_penalty(double penalty) {
  SearchOptions options;
  options.complexity_penalty = penalty;
  return options;
}

// ---------------------------------------------------------------------------
// score_candidate

struct ScoreCase {
  const char* name;
  std::vector<Token> tokens;
  Columns columns;
  std::vector<double> y;
  double penalty;
  std::optional<double> expected_score;  // compared bit for bit; nullopt = dropped
};

class ScoreCandidateTest : public testing::TestWithParam<ScoreCase> {};

TEST_P(ScoreCandidateTest, PenalisedRmse) {
  const ScoreCase& c = GetParam();
  const Expr expr{c.tokens};
  const std::optional<ScoredCandidate> scored =
      score_candidate(expr, c.columns, c.y, with_penalty(c.penalty));
  ASSERT_EQ(scored.has_value(), c.expected_score.has_value());
  if (!scored) return;
  if (std::isnan(*c.expected_score)) {
    EXPECT_TRUE(std::isnan(scored->score)) << scored->score;
  } else {
    EXPECT_EQ(bits(scored->score), bits(*c.expected_score)) << scored->score << " vs " << *c.expected_score;
  }
  EXPECT_EQ(scored->complexity, c.tokens.size());
  EXPECT_EQ(scored->formula, render_formula(expr));
  EXPECT_EQ(render_formula(scored->expression), scored->formula);
  EXPECT_TRUE(scored->params.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ScoreCandidateTest,
    testing::Values(
        ScoreCase{"ExactFit",
                  {V(0), V(0), O(Exp), O(Mul)},
                  {{0.5, 1, 2}},
                  {0.5 * std::exp(0.5), 1 * std::exp(1.0), 2 * std::exp(2.0)},
                  0.001,
                  0.0},
        ScoreCase{"MoreTargetsThanSamplesFit", {V(0)}, {{1, 2}}, {1, 2, 5}, 0.001, 0.0},
        ScoreCase{"MoreTargetsThanSamplesConst",
                  {C(0.0)},
                  {{1, 2}},
                  {1, 2, 5},
                  0.001,
                  std::sqrt(5.0 / 3.0) * (1.0 * 0.001 + 1.0)},
        ScoreCase{"TrailingNaNTargetIgnored", {V(0)}, {{1, 2}}, {1, 2, kNaN}, 0.001, 0.0},
        ScoreCase{"FewerTargetsThanSamples",
                  {V(0)},
                  {{1, 2, 100}},
                  {1, 3},
                  0.5,
                  std::sqrt(1.0 / 2.0) * (1.0 * 0.5 + 1.0)},
        ScoreCase{"ExtraSampleStillFails", {V(0), O(Recip)}, {{1, 2, 0}}, {1, 0.5}, 0.001, std::nullopt},
        ScoreCase{
            "OneFailingSampleDrops", {V(0), O(Ln)}, {{1, 0, 2}}, {0, 0, std::log(2.0)}, 0.001, std::nullopt},
        ScoreCase{"NoSamplesNonEmptyY", {V(0), O(Exp)}, {{}}, {1, 2}, 0.001, -0.0},
        ScoreCase{"EmptyY", {C(1.0)}, {{1, 2}}, {}, 0.001, kNaN},
        ScoreCase{"InfiniteTarget", {C(1.0)}, {{1, 2}}, {1, kInf}, 0.001, kInf},
        ScoreCase{"NaNTarget", {C(1.0)}, {{1, 2}}, {kNaN, 1}, 0.001, kNaN},
        ScoreCase{"PenaltyZeroesFactor", {V(0), O(Neg)}, {{1}}, {0}, -0.5, 0.0},
        ScoreCase{"NegativeFactor", {V(0), O(Neg), O(Neg), O(Neg)}, {{1}}, {0}, -0.5, -1.0},
        ScoreCase{"SecondColumn", {V(1)}, {{0, 0}, {3, 4}}, {0, 0}, 0.0, std::sqrt(25.0 / 2.0)}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// score_candidates

// A mix of candidates, some of which fail on the data (ln and 1/ at x = 0).
std::vector<Expr> mixed_candidates(std::size_t count) {
  const OpCode unary[] = {Neg, Recip, Exp, Ln, Sqrt, Sin, Cos};
  std::vector<Expr> out;
  for (std::size_t i = 0; i < count; ++i) {
    Expr e{{V(0), C(static_cast<double>(i % 13) - 6.0), O(Add), O(unary[i % 7])}};
    out.push_back(e);
  }
  return out;
}

void expect_same(const std::vector<ScoredCandidate>& a, const std::vector<ScoredCandidate>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].formula, b[i].formula) << i;
    EXPECT_EQ(bits(a[i].score), bits(b[i].score)) << i;
  }
}

TEST(ScoreCandidates, KeepsInputOrderDropsFailuresAndIgnoresSlicing) {
  const Columns columns = {{0.0, 1.0, 2.0, 3.0, 4.0, 5.0}};
  const std::vector<double> y = {1, 2, 3, 4, 5, 6};
  const std::vector<Expr> candidates = mixed_candidates(301);
  std::vector<ScoredCandidate> sequential;
  for (const Expr& e : candidates) {
    if (auto s = score_candidate(e, columns, y, SearchOptions{})) sequential.push_back(*s);
  }
  ASSERT_LT(sequential.size(), candidates.size());
  ASSERT_GT(sequential.size(), 0u);
  expect_same(score_candidates(candidates, columns, y, SearchOptions{}), sequential);
  for (std::size_t chunk : {0u, 1u, 3u, 7u, 64u, 300u, 301u, 5000u}) {
    SCOPED_TRACE(chunk);
    expect_same(score_candidates_chunked(candidates, columns, y, SearchOptions{}, chunk, {}), sequential);
  }
  EXPECT_TRUE(score_candidates({}, columns, y, SearchOptions{}).empty());
}

TEST(ScoreCandidates, SlicedScoringPollsBeforeEverySlice) {
  const Columns columns = {{1.0, 2.0}};
  const std::vector<Expr> candidates = mixed_candidates(10);
  int calls = 0;
  score_candidates_chunked(candidates, columns, {1, 2}, SearchOptions{}, 3, [&] { return ++calls < 0; });
  EXPECT_EQ(calls, 4);
  calls = 0;
  EXPECT_THROW(
      score_candidates_chunked(candidates, columns, {1, 2}, SearchOptions{}, 3, [&] { return ++calls == 2; }),
      Cancelled);
  EXPECT_EQ(calls, 2);
}

TEST(RankByScore, AscendingStableWithNaNLast) {
  struct Case {
    const char* name;
    std::vector<double> scores;
    std::vector<std::size_t> expected;
  };
  const std::vector<Case> cases = {
      {"Empty", {}, {}},
      {"Mixed", {kNaN, 2.0, 1.0, kNaN, 1.0, -kInf, kInf, -0.0, 0.0}, {5, 7, 8, 2, 4, 1, 6, 0, 3}},
      {"AllNaN", {kNaN, kNaN, kNaN}, {0, 1, 2}},
      {"AllEqual", {3.0, 3.0, 3.0, 3.0}, {0, 1, 2, 3}},
  };
  for (const Case& c : cases) {
    std::vector<ScoredCandidate> scored(c.scores.size());
    for (std::size_t i = 0; i < c.scores.size(); ++i) scored[i].score = c.scores[i];
    EXPECT_EQ(rank_by_score(scored), c.expected) << c.name;
  }
}

// ---------------------------------------------------------------------------
// beam_search

SearchOptions search_options(std::uint64_t max_complexity, std::uint64_t beam_width, double penalty = 0.001,
                             double goal = 1e-10) {
  SearchOptions options;
  options.max_complexity = max_complexity;
  options.beam_width = beam_width;
  options.complexity_penalty = penalty;
  options.precision_goal = goal;
  return options;
}

struct SearchCase {
  const char* name;
  Columns columns;
  std::vector<double> y;
  SearchOptions options;
  std::string formula;
  std::uint64_t complexity;
  std::optional<double> score;  // compared bit for bit when given
};

class BeamSearchTest : public testing::TestWithParam<SearchCase> {};

TEST_P(BeamSearchTest, FindsExpectedFormula) {
  const SearchCase& c = GetParam();
  const std::optional<ScoredCandidate> best = beam_search(c.columns, c.y, c.options);
  ASSERT_TRUE(best.has_value());
  EXPECT_EQ(best->formula, c.formula);
  EXPECT_EQ(best->complexity, c.complexity);
  EXPECT_EQ(best->formula, render_formula(best->expression));
  EXPECT_TRUE(best->params.empty());
  if (c.score) {
    EXPECT_EQ(bits(best->score), bits(*c.score)) << best->score;
  }
}

const Columns kX = {{1.0, 2.0, 3.0}};
const Columns kXs = {{0.5, 1.0, 1.5, 2.0, 2.5}};

std::vector<double> targets_of(const Columns& columns, double (*f)(double)) {
  std::vector<double> y;
  for (double x : columns[0]) y.push_back(f(x));
  return y;
}

INSTANTIATE_TEST_SUITE_P(
    Seeds, BeamSearchTest,
    testing::Values(
        SearchCase{"YIsColumn0", kX, {1, 2, 3}, search_options(8, 2000), "x", 1, 0.0},
        SearchCase{"YIsColumn1", {{5, 5, 5}, {1, 2, 3}}, {1, 2, 3}, search_options(8, 2000), "y", 1, 0.0},
        SearchCase{"AllOnes", kX, {1, 1, 1}, search_options(8, 2000), "1.0000", 1, 0.0},
        SearchCase{"AllZeros", kX, {0, 0, 0}, search_options(8, 2000), "0.0000", 1, 0.0},
        SearchCase{
            "MaxComplexity0", kX, {2, 4, 6}, search_options(0, 2000), "x", 1, std::sqrt(14.0 / 3.0) * 1.001},
        SearchCase{
            "MaxComplexity1", kX, {2, 4, 6}, search_options(1, 2000), "x", 1, std::sqrt(14.0 / 3.0) * 1.001},
        SearchCase{"TieKeepsConstZero", {{2.0}}, {0.5}, search_options(1, 2000), "0.0000", 1, 0.5 * 1.001},
        SearchCase{
            "TieKeepsConstOneBeforeX", {{1.5}}, {1.25}, search_options(1, 2000), "1.0000", 1, 0.25 * 1.001},
        SearchCase{"EmptyY", kX, {}, search_options(3, 8), "0.0000", 1, std::nullopt},
        SearchCase{"NoSamples", {{}}, {1, 2}, search_options(8, 2000, 0.001, 0.0), "0.0000", 1, -0.0},
        SearchCase{
            "NoSamplesNegativeGoal", {{}}, {1, 2}, search_options(3, 8, 0.001, -1.0), "0.0000", 1, -0.0}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Levels, BeamSearchTest,
    testing::Values(
        SearchCase{"MaxComplexity2Unary", kXs, targets_of(kXs, [](double x) { return std::exp(x); }),
                   search_options(2, 2000), "exp(x)", 2, 0.0},
        SearchCase{"MaxComplexity3Binary", kXs, targets_of(kXs, [](double x) { return x + 1.0; }),
                   search_options(3, 2000), "(x + 1.0000)", 3, 0.0},
        SearchCase{"SubForward", kXs, targets_of(kXs, [](double x) { return x - 1.0; }),
                   search_options(3, 2000), "(x - 1.0000)", 3, 0.0},
        SearchCase{"SubReversed", kXs, targets_of(kXs, [](double x) { return 1.0 - x; }),
                   search_options(3, 2000), "(1.0000 - x)", 3, 0.0},
        SearchCase{"ZorReversed", kXs, targets_of(kXs, [](double x) { return zor::zor(1.0, x); }),
                   search_options(3, 2000), "zor(1.0000, x)", 3, 0.0},
        SearchCase{"SelfPair", kXs, targets_of(kXs, [](double x) { return x * x; }), search_options(3, 2000),
                   "(x * x)", 3, 0.0},
        SearchCase{"UnaryChildExceedsMax", kXs, targets_of(kXs, [](double x) { return std::exp(x + 1.0); }),
                   search_options(3, 2000), "exp((x + 1.0000))", 4, 0.0},
        SearchCase{"XTimesExpX", kXs, targets_of(kXs, [](double x) { return x * std::exp(x); }),
                   search_options(8, 2000), "(exp(x) * x)", 4, 0.0},
        SearchCase{"ExpExpWithParents", kXs, targets_of(kXs, [](double x) { return std::exp(std::exp(x)); }),
                   search_options(6, 2000), "exp(exp(x))", 3, 0.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BeamSearch, MaxComplexity2NeverBuildsBinaryChildren) {
  const std::vector<double> y = targets_of(kXs, [](double x) { return x + 1.0; });
  const std::optional<ScoredCandidate> best = beam_search(kXs, y, search_options(2, 2000, 0.0));
  ASSERT_TRUE(best.has_value());
  EXPECT_LE(best->complexity, 2u);
  EXPECT_GT(best->score, 0.0);
}

TEST(BeamSearch, BeamWidthBelowFourAddsNoParents) {
  // exp(exp(x)) needs exp(x) as a parent; with beam_width / 4 == 0 the third
  // level admits nothing and the search ends even with a huge max_complexity.
  const std::vector<double> y = targets_of(kXs, [](double x) { return std::exp(std::exp(x)); });
  for (std::uint64_t width : {0u, 1u, 2u, 3u}) {
    const std::optional<ScoredCandidate> best = beam_search(kXs, y, search_options(1000000, width));
    ASSERT_TRUE(best.has_value()) << width;
    EXPECT_LE(best->complexity, 3u) << width;
    EXPECT_GT(best->score, 0.0) << width;
    EXPECT_NE(best->formula, "exp(exp(x))") << width;
  }
}

TEST(BeamSearch, NaNScoresReturnFirstSeedAfterExhaustingLevels) {
  struct Case {
    const char* name;
    std::vector<double> y;
  };
  const std::vector<Case> cases = {{"EmptyY", {}}, {"LeadingNaN", {kNaN, 2, 3}}, {"InnerNaN", {1, kNaN, 3}}};
  for (const Case& c : cases) {
    int levels = 0;
    const std::optional<ScoredCandidate> best =
        beam_search(kX, c.y, search_options(4, 40), [&] { return ++levels < 0; });
    ASSERT_TRUE(best.has_value()) << c.name;
    EXPECT_EQ(best->formula, "0.0000") << c.name;
    EXPECT_TRUE(std::isnan(best->score)) << c.name;
    EXPECT_EQ(best->complexity, 1u) << c.name;
  }
}

TEST(BeamSearch, LnOfXMinusOneIsNeverScored) {
  // Every sample has x > 1, but the first probe point makes x - 1 negative.
  const Columns columns = {{2.0, 3.0, 4.0, 5.0}};
  const std::vector<double> y = targets_of(columns, [](double x) { return std::log(x - 1.0); });
  const std::optional<ScoredCandidate> best = beam_search(columns, y, search_options(4, 2000));
  ASSERT_TRUE(best.has_value());
  EXPECT_NE(best->formula, "ln((x - 1.0000))");
  EXPECT_GT(best->score, 0.0);
}

TEST(BeamSearch, EqualScoreAtALaterLevelDoesNotReplaceTheBest) {
  // Without a penalty, the seed 1 and the level-2 child (x - 1) both fit
  // y = 1 at x = 2 exactly; a negative goal keeps the search running past
  // level 1, and the earlier seed must stay the best.
  const std::optional<ScoredCandidate> best = beam_search({{2.0}}, {1.0}, search_options(3, 2000, 0.0, -1.0));
  ASSERT_TRUE(best.has_value());
  EXPECT_EQ(best->formula, "1.0000");
  EXPECT_EQ(bits(best->score), bits(0.0));
  const std::optional<ScoredCandidate> child =
      score_candidate(Expr{{V(0), C(1.0), O(Sub)}}, {{2.0}}, {1.0}, with_penalty(0.0));
  ASSERT_TRUE(child.has_value());
  EXPECT_EQ(bits(child->score), bits(0.0));
}

TEST(BeamSearch, PrecisionGoalDecidesWhenToStop) {
  // The callback is polled at least once per level, so a search that runs
  // more levels polls it more often.
  const std::vector<double> y = {1, 2, 3};
  auto polls = [&](double goal) {
    int calls = 0;
    const std::optional<ScoredCandidate> best =
        beam_search(kX, y, search_options(4, 40, 0.001, goal), [&] { return ++calls < 0; });
    EXPECT_TRUE(best && best->formula == "x" && best->score == 0.0);
    return calls;
  };
  const int stopped = polls(0.0);
  const int exhausted = polls(-1.0);
  EXPECT_GE(exhausted, stopped + 3);
}

TEST(BeamSearch, RefusesUnusableColumns) {
  struct Case {
    Columns columns;
    const char* message;
  };
  const std::vector<Case> cases = {
      {{}, "x_data must hold at least one column"},
      {{{1, 2, 3}, {1}}, "x_data column 1 has 1 values but column 0 has 3"},
  };
  for (const Case& c : cases) {
    try {
      beam_search(c.columns, {1, 2, 3}, SearchOptions{});
      ADD_FAILURE() << "no exception for " << c.message;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

// ---------------------------------------------------------------------------
// Cancellation

TEST(BeamSearchCancel, ThrowsOnTheCallThatAsks) {
  const std::vector<double> y = {0.3, -1.0, 7.0};
  for (int k = 1; k <= 4; ++k) {
    int calls = 0;
    const std::thread::id caller = std::this_thread::get_id();
    bool on_caller = true;
    EXPECT_THROW(beam_search(kX, y, search_options(6, 400),
                             [&] {
                               on_caller = on_caller && std::this_thread::get_id() == caller;
                               return ++calls == k;
                             }),
                 Cancelled)
        << k;
    EXPECT_EQ(calls, k);
    EXPECT_TRUE(on_caller);
  }
}

TEST(BeamSearchCancel, LongSearchPollsOftenAndStopsSoonAfterTheRequest) {
  // A wide search over 1000 samples of three columns runs for many seconds;
  // it is asked to stop after 200 ms.
  constexpr std::size_t kRows = 1000;
  Columns columns(3, std::vector<double>(kRows));
  std::vector<double> y(kRows);
  for (std::size_t i = 0; i < kRows; ++i) {
    columns[0][i] = 0.3 + 0.7 * static_cast<double>(i);
    columns[1][i] = 1.0 - 0.2 * static_cast<double>(i);
    columns[2][i] = 2.0 + 0.1 * static_cast<double>(i);
    y[i] = 0.123 * static_cast<double>(i) - 0.5;
  }
  using Clock = std::chrono::steady_clock;
  using Ms = std::chrono::duration<double, std::milli>;
  const Clock::time_point start = Clock::now();
  Clock::time_point last_poll = start;
  Clock::time_point asked_at{};
  double longest_gap_ms = 0.0;
  auto cancelled = [&] {
    const Clock::time_point now = Clock::now();
    longest_gap_ms = std::max(longest_gap_ms, Ms(now - last_poll).count());
    last_poll = now;
    if (asked_at == Clock::time_point{} && now - start >= std::chrono::milliseconds(200)) asked_at = now;
    return asked_at != Clock::time_point{};
  };
  SearchOptions wide;
  wide.max_complexity = 12;
  wide.beam_width = 40000;
  EXPECT_THROW(beam_search(columns, y, wide, cancelled), Cancelled);
  ASSERT_NE(asked_at, Clock::time_point{});
  // Generous bounds (the work between two polls is a few tens of ms on an
  // idle machine) so that a loaded test machine does not fail the test; a
  // sanitizer's build runs the search several times slower.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  constexpr double kBoundMs = 1000.0;
#else
  constexpr double kBoundMs = 250.0;
#endif
  EXPECT_LT(Ms(Clock::now() - asked_at).count(), kBoundMs);
  EXPECT_LT(longest_gap_ms, kBoundMs);
}

// ---------------------------------------------------------------------------
// Memory limit

TEST(BeamSearchMemory, OutgrowingTheLimitThrowsBadAllocAndAmpleLimitsChangeNothing) {
  const std::vector<double> y = {0.3, -1.0, 7.0};
  const SearchOptions wide = search_options(6, 4000);
  EXPECT_THROW(beam_search(kX, y, wide, {}, 64 * 1024), std::bad_alloc);
  const std::optional<ScoredCandidate> unlimited = beam_search(kX, y, wide);
  const std::optional<ScoredCandidate> ample = beam_search(kX, y, wide, {}, std::uint64_t{1} << 40);
  ASSERT_TRUE(unlimited && ample);
  EXPECT_EQ(ample->formula, unlimited->formula);
  EXPECT_EQ(bits(ample->score), bits(unlimited->score));
}

}  // namespace
}  // namespace zor::discover
