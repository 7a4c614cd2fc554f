// The fast search against the literal reference on random data and settings:
// same best formula, score bits, complexity and front, and the same number
// of admitted candidates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/discover/search.hpp"
#include "core/numeric.hpp"
#include "discover_tokens.hpp"
#include "search_problems.hpp"

namespace zor::discover {
namespace {

using problems::expect_same_candidate;
using problems::Problem;
using problems::ProblemMaker;

void expect_same_outcome(const Problem& p, const std::string& where) {
  SearchControl control = p.control();
  control.keep_front = true;
  const SearchOutcome fast = beam_search(p.columns, p.y, p.options, control);
  const SearchOutcome reference = reference_beam_search(p.columns, p.y, p.options, control);
  ASSERT_EQ(fast.best.has_value(), reference.best.has_value()) << where;
  if (fast.best) expect_same_candidate(*fast.best, *reference.best, where + " best");
  ASSERT_EQ(fast.front.size(), reference.front.size()) << where;
  for (std::size_t i = 0; i < fast.front.size(); ++i) {
    expect_same_candidate(fast.front[i], reference.front[i], where + " front " + std::to_string(i));
  }
  EXPECT_EQ(fast.admitted, reference.admitted) << where;
  // The fast search stops scoring a child whose partial error already rules
  // it out, so it may fully score fewer.
  EXPECT_LE(fast.scored, reference.scored) << where;
  EXPECT_LE(fast.generated, reference.generated) << where;
  if (!p.dimensions) {
    EXPECT_EQ(fast.pruned, 0u) << where;
  }
}

TEST(FastSearch, MatchesReferenceOnRandomProblems) {
  ProblemMaker maker(20261207);
  for (int i = 0; i < 600; ++i) {
    expect_same_outcome(maker.make(), "problem " + std::to_string(i));
    if (HasFatalFailure()) return;
  }
}

TEST(FastSearch, MatchesReferenceOnRandomProblemsWithUnits) {
  ProblemMaker maker(20261211);
  std::uint64_t pruned = 0;
  for (int i = 0; i < 400; ++i) {
    const Problem p = maker.make_with_dimensions();
    expect_same_outcome(p, "problem " + std::to_string(i));
    if (HasFatalFailure()) return;
    SearchControl control = p.control();
    if (!validate_columns(p.columns)) pruned += beam_search(p.columns, p.y, p.options, control).pruned;
  }
  EXPECT_GT(pruned, 0u);  // the rules did leave children out
}

TEST(FastSearch, MatchesReferenceOnLargerSettings) {
  struct Case {
    std::size_t rows;
    std::uint64_t max_complexity;
    std::uint64_t beam_width;
    bool use_trig;
  };
  for (const Case& c : {Case{40, 7, 400, true}, Case{200, 6, 2000, true}, Case{30, 9, 120, false}}) {
    Problem p;
    p.columns = {{}, {}};
    for (std::size_t i = 0; i < c.rows; ++i) {
      const double a = 0.1 + 0.05 * static_cast<double>(i);
      const double b = 2.0 - 0.03 * static_cast<double>(i);
      p.columns[0].push_back(a);
      p.columns[1].push_back(b);
      p.y.push_back(a * std::exp(b) + std::sqrt(a) * 0.5);
    }
    p.options.max_complexity = c.max_complexity;
    p.options.beam_width = c.beam_width;
    p.options.use_trig = c.use_trig;
    expect_same_outcome(p, "rows " + std::to_string(c.rows));
  }
}

TEST(FastSearch, StopKeepsTheBestOfWhatWasScored) {
  Problem p;
  p.columns = {{0.5, 1.0, 1.5, 2.0, 2.5, 3.0}};
  for (double x : p.columns[0]) p.y.push_back(x * std::exp(x) + 0.25);
  p.options.max_complexity = 6;
  int polls = 0;
  SearchControl control;
  control.poll = [&] { return ++polls > 3 ? PollAnswer::Stop : PollAnswer::Continue; };
  const SearchOutcome stopped = beam_search(p.columns, p.y, p.options, control);
  EXPECT_TRUE(stopped.cut_short);
  ASSERT_TRUE(stopped.best.has_value());
  const SearchOutcome full = beam_search(p.columns, p.y, p.options, SearchControl{});
  EXPECT_FALSE(full.cut_short);
  ASSERT_TRUE(full.best.has_value());
  EXPECT_GE(stopped.best->score, full.best->score);
  EXPECT_LT(stopped.scored, full.scored);
}

TEST(FastSearch, BothSearchesReportEveryLevelWithItsCounts) {
  const Columns columns = {{0.5, 1.0, 1.5, 2.0}};
  const std::vector<double> y = {3.0, -1.0, 0.25, 7.0};
  SearchOptions options;
  options.max_complexity = 5;
  options.beam_width = 40;
  for (auto search : {beam_search, reference_beam_search}) {
    std::vector<LevelReport> reports;
    SearchControl control;
    control.on_level = [&](const LevelReport& r) { reports.push_back(r); };
    const SearchOutcome outcome = search(columns, y, options, control);
    ASSERT_EQ(reports.size(), 5u);
    std::uint64_t admitted = 0;
    std::uint64_t generated = 0;
    for (std::size_t i = 0; i < reports.size(); ++i) {
      EXPECT_EQ(reports[i].level, i + 1);
      EXPECT_LE(reports[i].scored, reports[i].admitted);
      EXPECT_LE(reports[i].admitted, reports[i].generated);
      ASSERT_NE(reports[i].best, nullptr);
      if (i > 0) {
        EXPECT_GE(reports[i].elapsed_seconds, reports[i - 1].elapsed_seconds);
      }
      admitted += reports[i].admitted;
      generated += reports[i].generated;
    }
    EXPECT_EQ(admitted, outcome.admitted);
    EXPECT_EQ(generated, outcome.generated);
  }
}

TEST(FastSearch, MemoryLimitRaisesWithAMessageNamingTheSettings) {
  const Columns columns = {{0.3, 1.7, 2.2}};
  SearchOptions options;
  options.max_complexity = 7;
  options.beam_width = 4000;
  SearchControl control;
  control.memory_limit = 1 << 20;
  try {
    beam_search(columns, {0.3, -1.0, 7.0}, options, control);
    ADD_FAILURE() << "no exception";
  } catch (const SearchMemoryExceeded& e) {
    EXPECT_NE(std::string(e.what()).find("beam_width"), std::string::npos);
  }
}

}  // namespace
}  // namespace zor::discover
