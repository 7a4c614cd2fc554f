// The affine fit of the scaled search, its running lower bound, the affine
// class key and the probe rows taken from the data.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/discover/scaled_fit.hpp"
#include "core/discover/search.hpp"

namespace zor::discover {
namespace {

std::optional<AffineFit> fit(const std::vector<double>& v, const std::vector<double>& y) {
  const TargetSummary targets(y, v.size());
  return fit_affine(v.data(), y.data(), targets);
}

TEST(AffineFit, RecoversScaleAndOffsetOfAnExactLaw) {
  std::vector<double> v, y;
  for (int i = 0; i < 50; ++i) {
    v.push_back(0.25 * i - 3.0);
    y.push_back(-2.5 * v.back() + 7.0);
  }
  const std::optional<AffineFit> f = fit(v, y);
  ASSERT_TRUE(f);
  EXPECT_FALSE(f->constant);
  EXPECT_NEAR(f->scale, -2.5, 1e-14);
  EXPECT_NEAR(f->offset, 7.0, 1e-13);
  EXPECT_LT(f->sse, 1e-24);
}

// Constant, nearly constant (a scale fitted to rounding noise) and
// uncorrelated candidates all come out as the constant model's error.
TEST(AffineFit, DegenerateCandidatesGiveTheConstantModel) {
  const std::vector<double> y = {1.0, 1.0, 2.0, 2.0};
  const double constant_sse = 4 * 0.25;
  for (const std::vector<double>& v :
       {std::vector<double>{3.0, 3.0, 3.0, 3.0}, std::vector<double>{1.0, 1.0 + 1e-15, 1.0 - 1e-15, 1.0}}) {
    const std::optional<AffineFit> f = fit(v, y);
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->constant);
    EXPECT_EQ(f->scale, 0.0);
    EXPECT_EQ(f->offset, 1.5);
    EXPECT_EQ(f->sse, constant_sse);
  }
  const std::optional<AffineFit> uncorrelated = fit({1.0, -1.0, 1.0, -1.0}, y);
  ASSERT_TRUE(uncorrelated);
  EXPECT_FALSE(uncorrelated->constant);
  EXPECT_EQ(uncorrelated->scale, 0.0);
  EXPECT_EQ(uncorrelated->sse, constant_sse);
}

TEST(AffineFit, OverflowingSumsGiveNoFit) { EXPECT_FALSE(fit({1e200, -1e200, 3e200}, {1.0, 2.0, 3.0})); }

TEST(AffineFit, OnlyTheComparedSamplesEnter) {
  // A fourth row without a target is fitted over the first three.
  const std::vector<double> v = {1.0, 2.0, 3.0, 1e9};
  const std::vector<double> y = {2.0, 4.0, 6.0};
  const std::optional<AffineFit> f = fit(v, y);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->scale, 2.0);
  EXPECT_EQ(f->offset, 0.0);
  EXPECT_EQ(f->sse, 0.0);
}

// The running bound never exceeds the error of the final fit, whatever the
// data: a search that stops scoring on it never drops a candidate it keeps.
TEST(AffineErrorBound, NeverExceedsTheFinalFitsError) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::uniform_real_distribution<double> offset(-1e6, 1e6);
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t n = 3 + trial % 60;
    const double shift = trial % 3 == 0 ? offset(rng) : 0.0;
    const double slope = noise(rng);
    std::vector<double> v(n), y(n);
    for (std::size_t i = 0; i < n; ++i) {
      v[i] = shift + noise(rng);
      y[i] = slope * v[i] + (trial % 2 == 0 ? 1e-3 : 1.0) * noise(rng);
    }
    const std::optional<AffineFit> f = fit(v, y);
    ASSERT_TRUE(f);
    AffineErrorBound bound;
    for (std::size_t i = 0; i < n; ++i) {
      bound.add(v[i], y[i]);
      EXPECT_LE(bound.min_sse(), f->sse) << "trial " << trial << " after " << i + 1 << " samples";
    }
    if (trial % 2 == 1 && n > 10) {
      EXPECT_GT(bound.min_sse(), 0.0);
    }
  }
}

TEST(AffineClass, AffineCopiesShareAKeyOtherShapesDoNot) {
  const ProbeValues x = {0.3, 1.7, 2.2, 0.9, 4.1};
  auto map = [&](double a, double b) {
    ProbeValues out{};
    for (std::size_t j = 0; j < x.size(); ++j) out[j] = a * x[j] + b;
    return out;
  };
  const std::uint64_t key = affine_class(x);
  EXPECT_NE(key, 0u);
  EXPECT_EQ(affine_class(map(2.0, 0.0)), key);
  EXPECT_EQ(affine_class(map(1.0, 1.0)), key);
  EXPECT_EQ(affine_class(map(-1.0, 1.0)), key);
  EXPECT_EQ(affine_class(map(-0.37, 12.5)), key);
  ProbeValues squared{};
  for (std::size_t j = 0; j < x.size(); ++j) squared[j] = x[j] * x[j];
  EXPECT_NE(affine_class(squared), key);
  EXPECT_EQ(affine_class(ProbeValues{2.0, 2.0, 2.0, 2.0, 2.0}), 0u);
}

TEST(DataProbeRows, TakesDistinctRowsSpreadOverTheData) {
  std::vector<double> x, y;
  for (int i = 0; i < 100; ++i) {
    x.push_back(i < 50 ? 1.0 : static_cast<double>(i));  // the first half repeats one row
    y.push_back(i < 50 ? 2.0 : static_cast<double>(2 * i + 1));
  }
  const std::vector<ProbeValues> probes = data_probe_rows({x, y});
  ASSERT_EQ(probes.size(), 2u);
  for (std::size_t j = 0; j < 5; ++j) {
    for (std::size_t k = 0; k < j; ++k)
      EXPECT_FALSE(probes[0][j] == probes[0][k] && probes[1][j] == probes[1][k]);
  }
  // Fewer rows than probes: the rows repeat, nothing fails.
  const std::vector<ProbeValues> few = data_probe_rows({{1.0, 2.0}});
  EXPECT_EQ(few[0][0], 1.0);
  EXPECT_EQ(few[0][4], 2.0);
}

}  // namespace
}  // namespace zor::discover

namespace zor::discover {
namespace {

// Every formula the scaled search reports carries the fit of its own values:
// the same constants, error bits and model size as fitting it afresh.
TEST(ScaledSearch, ReportsTheFitOfEachFormula) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> uniform(0.5, 3.0);
  for (int trial = 0; trial < 12; ++trial) {
    const std::size_t n_vars = 1 + trial % 3;
    const std::size_t rows = 5 + 13 * (trial % 4);
    Columns columns(n_vars);
    std::vector<double> y(rows);
    for (std::size_t i = 0; i < rows; ++i) {
      for (auto& column : columns) column.push_back(uniform(rng));
      y[i] = 2.5 * columns[0][i] * columns[n_vars - 1][i] - 0.75 + (trial % 2) * 0.1 * uniform(rng);
    }
    SearchOptions options;
    options.max_complexity = 4 + trial % 3;
    options.beam_width = 200;
    options.scaling = true;
    options.use_trig = trial % 2 == 0;
    SearchControl control;
    control.keep_front = true;
    const SearchOutcome outcome = beam_search(columns, y, options, control);
    ASSERT_TRUE(outcome.best);
    std::vector<ScoredCandidate> reported = outcome.front;
    reported.push_back(*outcome.best);
    const TargetSummary targets(y, rows);
    for (const ScoredCandidate& c : reported) {
      const std::optional<std::vector<double>> values = evaluate_columns(c.expression, columns, {});
      ASSERT_TRUE(values) << c.formula;
      const std::optional<AffineFit> fit = fit_affine(values->data(), y.data(), targets);
      ASSERT_TRUE(fit) << c.formula;
      EXPECT_EQ(c.scale, fit->scale) << c.formula;
      EXPECT_EQ(c.offset, fit->offset) << c.formula;
      EXPECT_EQ(c.rmse, std::sqrt(fit->sse / static_cast<double>(rows))) << c.formula;
      EXPECT_EQ(c.complexity, fit->constant ? 1 : c.expression.tokens.size() + 2) << c.formula;
    }
    // The law itself, 2.5·(x·z) − 0.75, is exact on noiseless data.
    if (trial % 2 == 0) {
      EXPECT_LT(outcome.best->rmse, 1e-12) << outcome.best->formula;
    }
  }
}

}  // namespace
}  // namespace zor::discover
