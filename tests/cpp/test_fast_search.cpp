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

namespace zor::discover {
namespace {

using tokens::bits;
using tokens::kInf;
using tokens::kNaN;

struct Problem {
  Columns columns;
  std::vector<double> y;
  SearchOptions options;
};

class ProblemMaker {
 public:
  explicit ProblemMaker(std::uint64_t seed) : rng_(seed) {}

  Problem make() {
    Problem p;
    const std::size_t n_vars = pick<std::size_t>({1, 1, 2, 2, 3});
    const std::size_t rows = pick<std::size_t>({0, 1, 2, 3, 4, 5, 6, 8, 12, 20, 70, 150});
    const bool corners = chance(0.3);
    for (std::size_t k = 0; k < n_vars; ++k) {
      std::vector<double> column;
      const std::size_t extra = k > 0 && chance(0.2) ? 1 : 0;
      for (std::size_t i = 0; i < rows + extra; ++i) column.push_back(value(corners));
      p.columns.push_back(column);
    }
    if (chance(0.6)) {
      const int law = pick<int>({0, 1, 2, 3, 4, 5, 6});
      for (std::size_t i = 0; i < rows; ++i) {
        const double a = p.columns[0][i];
        const double b = p.columns[n_vars - 1][i];
        const double laws[] = {a * a, a + 1.0, std::exp(a), zor::zor(a, b), a - b, std::sin(a) * b, 1.0};
        p.y.push_back(laws[law] + pick<double>({0.0, 0.0, 1e-12, 1e-3}));
      }
      if (chance(0.2) && !p.y.empty()) p.y.pop_back();
      if (chance(0.2)) p.y.push_back(value(corners));
    } else {
      const std::size_t m = pick<std::size_t>({0, rows, rows, rows + 1});
      for (std::size_t i = 0; i < m; ++i) p.y.push_back(value(corners));
    }
    p.options.max_complexity = pick<std::uint64_t>({0, 1, 2, 3, 3, 4, 4, 4, 5, 5, 6});
    p.options.beam_width = pick<std::uint64_t>({0, 3, 4, 8, 40, 200, 2000});
    p.options.precision_goal = pick<double>({1e-10, 0.0, -1.0, 1e-3, kNaN});
    p.options.use_trig = chance(0.5);
    p.options.use_zor = chance(0.5);
    p.options.complexity_penalty = pick<double>({0.001, 0.0, 0.1, -0.01, -1.0});
    return p;
  }

 private:
  template <class T>
  T pick(std::initializer_list<T> choices) {
    std::uniform_int_distribution<std::size_t> d(0, choices.size() - 1);
    return choices.begin()[d(rng_)];
  }
  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
  double value(bool corners) {
    if (corners && chance(0.3)) {
      return pick<double>({0.0, -0.0, kNaN, kInf, -kInf, 1e-301, -1e-300, 709.79, 710.0, 1e300, -800.0});
    }
    return std::uniform_real_distribution<double>(-3.0, 3.0)(rng_);
  }
  std::mt19937_64 rng_;
};

// Equal bits, except that every NaN matches every NaN: which operand's NaN
// an addition passes on is the compiler's choice, not the search's.
std::uint64_t canonical_bits(double v) { return std::isnan(v) ? bits(kNaN) : bits(v); }

void expect_same_candidate(const ScoredCandidate& fast, const ScoredCandidate& reference,
                           const std::string& where) {
  EXPECT_EQ(fast.formula, reference.formula) << where;
  EXPECT_EQ(canonical_bits(fast.score), canonical_bits(reference.score)) << where;
  EXPECT_EQ(canonical_bits(fast.rmse), canonical_bits(reference.rmse)) << where;
  EXPECT_EQ(fast.complexity, reference.complexity) << where;
}

void expect_same_outcome(const Problem& p, const std::string& where) {
  SearchControl control;
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
}

TEST(FastSearch, MatchesReferenceOnRandomProblems) {
  ProblemMaker maker(20261207);
  for (int i = 0; i < 600; ++i) {
    expect_same_outcome(maker.make(), "problem " + std::to_string(i));
    if (HasFatalFailure()) return;
  }
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
