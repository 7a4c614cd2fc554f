// Fits of formulas with free parameters: laws recovered from a reasonable
// start, the forward-mode Jacobian against finite differences, refusals of
// undetermined parameters, rows outside the domain, fixed entries and
// batches.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/fit/parameter_fit.hpp"

namespace zor::fit {
namespace {

using discover::Expr;
using discover::OpCode;
using discover::Token;

Token x() { return Token::var(0); }
Token c(std::uint64_t k) { return Token::param(k, 0.0); }
Token op(OpCode code) { return Token::op_token(code); }

std::vector<double> spread(double low, double high, int n) {
  std::vector<double> values;
  for (int i = 0; i < n; ++i) values.push_back(low + (high - low) * i / (n - 1));
  return values;
}

struct Data {
  std::vector<double> column;
  std::vector<double> target;
  FitData view() const { return FitData{{column}, target}; }
};

template <class Law>
Data data_of(double low, double high, int n, Law law) {
  Data data{spread(low, high, n), {}};
  for (double v : data.column) data.target.push_back(law(v));
  return data;
}

ParameterFit fit_all(const Expr& shape, const Data& data, std::vector<double> start) {
  return fit_parameters(shape, data.view(), start, std::vector<bool>(start.size(), true), FitOptions{});
}

std::vector<std::uint64_t> bits_of(const ParameterFit& fit);

const Expr kDecay{{x(), c(0), op(OpCode::Mul), op(OpCode::Exp)}};            // exp(c0·x)
const Expr kSaturation{{x(), x(), c(0), op(OpCode::Add), op(OpCode::Div)}};  // x / (x + c0)
const Expr kRedundant{
    {x(), c(0), op(OpCode::Add), c(1), op(OpCode::Add), op(OpCode::Exp)}};  // exp(x + c0 + c1)

TEST(ParameterFit, RecoversExponentialDecayAndMichaelisMentenExactly) {
  const Data decay = data_of(0.0, 10.0, 60, [](double t) { return 2.0 + 3.0 * std::exp(-t / 2.5); });
  const ParameterFit d = fit_all(kDecay, decay, {-0.25, 2.0, 2.5});
  ASSERT_EQ(d.status, FitStatus::Converged);
  EXPECT_NEAR(d.full[0], -0.4, 0.4 * 1e-10);
  EXPECT_NEAR(d.full[1], 3.0, 3.0 * 1e-10);
  EXPECT_NEAR(d.full[2], 2.0, 2.0 * 1e-10);
  EXPECT_LT(d.sse, 1e-20);
  EXPECT_EQ(d.jacobian.size(), 60u * 3u);

  const Data mm = data_of(0.1, 10.0, 50, [](double s) { return 4.0 * s / (1.5 + s); });
  const ParameterFit m = fit_all(kSaturation, mm, {1.0, 3.0, 0.0});
  ASSERT_EQ(m.status, FitStatus::Converged);
  EXPECT_NEAR(m.full[0], 1.5, 1.5 * 1e-10);
  EXPECT_NEAR(m.full[1], 4.0, 4.0 * 1e-10);
  EXPECT_NEAR(m.full[2], 0.0, 1e-10);
}

// Shapes that between them use every operator, at a point where each is
// defined on every row.
struct JacobianCase {
  const char* name;
  Expr shape;
  std::vector<double> full;
};

std::vector<JacobianCase> jacobian_cases() {
  using enum OpCode;
  return {
      // exp(c0·x) − ln(x + c1)
      {"exp_ln", {{x(), c(0), op(Mul), op(Exp), x(), c(1), op(Add), op(Ln), op(Sub)}}, {0.3, 0.8, 1.7, -0.4}},
      // sqrt(x / c0) · sin(c1·x)
      {"sqrt_sin",
       {{x(), c(0), op(Div), op(Sqrt), c(1), x(), op(Mul), op(Sin), op(Mul)}},
       {1.3, 0.9, -2.1, 0.5}},
      // −(c0 − x)² + cos(c1·x)
      {"square_cos",
       {{c(0), x(), op(Sub), op(Square), op(Neg), x(), c(1), op(Mul), op(Cos), op(Add)}},
       {0.6, 1.7, 0.8, 0.1}},
      // |1 / (x + c0)| · zor(c1, x·c2)
      {"recip_abs_zor",
       {{x(), c(0), op(Add), op(Recip), op(Abs), c(1), x(), c(2), op(Mul), op(Zor), op(Mul)}},
       {-4.0, 0.4, 1.3, 2.0, 0.3}},
  };
}

TEST(ParameterFit, ForwardModeJacobianAgreesWithCentralDifferences) {
  const Data data = data_of(0.5, 3.0, 25, [](double v) { return std::sin(v); });
  for (const JacobianCase& test : jacobian_cases()) {
    SCOPED_TRACE(test.name);
    const std::optional<ModelValues> at = model_values(test.shape, data.view(), test.full, false);
    ASSERT_TRUE(at);
    const std::size_t width = test.full.size();
    for (std::size_t j = 0; j < width; ++j) {
      const double step = 1e-6 * std::max(1.0, std::fabs(test.full[j]));
      std::vector<double> up = test.full, down = test.full;
      up[j] += step;
      down[j] -= step;
      const std::optional<ModelValues> above = model_values(test.shape, data.view(), up, false);
      const std::optional<ModelValues> below = model_values(test.shape, data.view(), down, false);
      ASSERT_TRUE(above && below);
      for (std::size_t i = 0; i < data.target.size(); ++i) {
        const double exact = at->jacobian[i * width + j];
        const double numeric = (above->residual[i] - below->residual[i]) / (2.0 * step);
        ASSERT_TRUE(std::isfinite(exact));
        EXPECT_NEAR(exact, numeric, 1e-6 * std::max(1.0, std::fabs(exact))) << "row " << i << " entry " << j;
      }
    }
  }
}

TEST(ParameterFit, RefusesParametersTheDataDoNotDetermine) {
  // exp(x + c0 + c1) times a scale: only scale·exp(c0 + c1) is determined.
  const Data data = data_of(0.0, 2.0, 30, [](double v) { return std::exp(0.5 + v); });
  const ParameterFit fitted = fit_all(kRedundant, data, {0.3, 0.2, 1.0, 0.0});
  EXPECT_EQ(fitted.status, FitStatus::Undetermined);
  EXPECT_TRUE(fitted.jacobian.empty());

  // A zero column and an infinite one are undetermined too; two independent ones are not.
  EXPECT_TRUE(undetermined(std::vector<double>{1.0, 0.0, 2.0, 0.0}, 2, 2));
  EXPECT_TRUE(undetermined(std::vector<double>{1.0, INFINITY, 2.0, 1.0}, 2, 2));
  EXPECT_TRUE(undetermined(std::vector<double>{1e200, 1.0, 1e200, 2.0}, 2, 2));
  EXPECT_FALSE(undetermined(std::vector<double>{1.0, 0.0, 0.0, 1.0}, 2, 2));
  EXPECT_TRUE(undetermined(std::vector<double>{1.0, 2.0, 2.0, 4.0 + 1e-12}, 2, 2));
}

TEST(ParameterFit, RowsOutsideTheDomainTurnTheStepBackAndNeverGiveNonFiniteResults) {
  // ln(x + c0) on x in [0, 5] from c0 = −1: undefined on the rows below 1.
  const Expr log_shape{{x(), c(0), op(OpCode::Add), op(OpCode::Ln)}};
  const Data data = data_of(0.0, 5.0, 40, [](double v) { return 2.0 * std::log(v + 0.5) + 1.0; });
  const std::vector<double> start{-1.0, 1.0, 0.0};
  const std::optional<ModelValues> marked = model_values(log_shape, data.view(), start, true);
  ASSERT_TRUE(marked);
  std::size_t outside = 0;
  for (std::size_t i = 0; i < data.target.size(); ++i) {
    if (data.column[i] <= 1.0) {
      ++outside;
      EXPECT_EQ(marked->residual[i], kOutsideResidual);
      for (std::size_t j = 0; j < 3; ++j) EXPECT_EQ(marked->jacobian[i * 3 + j], 0.0);
    } else {
      EXPECT_LT(std::fabs(marked->residual[i]), 10.0);
    }
  }
  EXPECT_GT(outside, 0u);

  // From there the undefined rows hold the fit where it started: never a
  // converged result with non-finite values.
  const ParameterFit stuck = fit_all(log_shape, data, start);
  EXPECT_NE(stuck.status, FitStatus::Converged);
  // From inside the domain, on both sides of the law, it converges to it.
  for (const double from : {0.001, 10.0}) {
    const ParameterFit fitted = fit_all(log_shape, data, {from, 0.3, 0.0});
    ASSERT_EQ(fitted.status, FitStatus::Converged);
    EXPECT_NEAR(fitted.full[0], 0.5, 0.5 * 1e-10);
    EXPECT_NEAR(fitted.full[1], 2.0, 2.0 * 1e-10);
  }

  // A law that needs c0 below −min(x) has no finite optimum on every row: the
  // fit may end at a boundary but never reports non-finite values as converged.
  const Data steep = data_of(0.0, 5.0, 40, [](double v) { return std::log(v + 1e-9); });
  const ParameterFit edge = fit_all(log_shape, steep, {0.5, 1.0, 0.0});
  if (edge.status == FitStatus::Converged) {
    EXPECT_TRUE(std::isfinite(edge.sse));
    for (double v : edge.jacobian) EXPECT_TRUE(std::isfinite(v));
  }
}

TEST(ParameterFit, FixedEntriesKeepTheirBits) {
  const Data decay = data_of(0.0, 10.0, 60, [](double t) { return 2.0 + 3.0 * std::exp(-t / 2.5); });
  const double odd_offset = std::nextafter(2.0, 3.0);
  const std::vector<double> start{-0.3, 2.5, odd_offset};
  const ParameterFit fitted = fit_parameters(kDecay, decay.view(), start, {true, true, false}, FitOptions{});
  ASSERT_EQ(fitted.status, FitStatus::Converged);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(fitted.full[2]), std::bit_cast<std::uint64_t>(odd_offset));
  EXPECT_EQ(fitted.jacobian.size(), 60u * 2u);
  EXPECT_NEAR(fitted.full[0], -0.4, 1e-9);

  const double fixed_rate = -0.4;
  const ParameterFit linear = fit_parameters(kDecay, decay.view(), std::vector<double>{fixed_rate, 1.0, 0.0},
                                             {false, true, true}, FitOptions{});
  ASSERT_EQ(linear.status, FitStatus::Converged);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(linear.full[0]), std::bit_cast<std::uint64_t>(fixed_rate));
  EXPECT_NEAR(linear.full[1], 3.0, 1e-10);
}

TEST(ParameterFit, RefusesMalformedOrUnfittableInput) {
  const Data data = data_of(0.0, 1.0, 3, [](double v) { return v; });
  EXPECT_FALSE(inner_parameter_count(Expr{{x(), op(OpCode::Add)}}, 1));         // operand missing
  EXPECT_FALSE(inner_parameter_count(Expr{{Token::var(1)}}, 1));                // no such variable
  EXPECT_FALSE(inner_parameter_count(Expr{{x(), c(0)}}, 1));                    // two values left
  EXPECT_EQ(inner_parameter_count(Expr{{x(), c(2), op(OpCode::Mul)}}, 1), 3u);  // c0, c1 unused
  EXPECT_EQ(fit_all(kDecay, data, {NAN, 1.0, 0.0}).status, FitStatus::Refused);
  EXPECT_EQ(fit_all(kDecay, data, {0.1, 1.0}).status, FitStatus::Refused);
  // Four free entries on three rows.
  const Expr two{{x(), c(0), op(OpCode::Mul), c(1), op(OpCode::Add), op(OpCode::Exp)}};
  EXPECT_EQ(fit_all(two, data, {0.1, 0.1, 1.0, 0.0}).status, FitStatus::Refused);
  EXPECT_EQ(fit_parameters(kDecay, data.view(), std::vector<double>{0.1, 1.0, 0.0}, {false, false, false},
                           FitOptions{})
                .status,
            FitStatus::Refused);
}

TEST(ParameterFit, GivesUpAtTheEvaluationCap) {
  const Data mm = data_of(0.1, 10.0, 50, [](double s) { return 4.0 * s / (1.5 + s); });
  FitOptions tight;
  tight.evaluations_per_entry = 1;
  const ParameterFit fitted =
      fit_parameters(kSaturation, mm.view(), std::vector<double>{20.0, 1.0, 0.0}, {true, true, true}, tight);
  EXPECT_EQ(fitted.status, FitStatus::NotConverged);
  EXPECT_LE(fitted.evaluations, 4u);
}

TEST(ParameterFit, LinearStartIsTheLeastSquaresLineThroughTheValues) {
  const Data data = data_of(0.0, 4.0, 30, [](double t) { return 2.0 + 3.0 * std::exp(-0.4 * t); });
  const std::optional<std::vector<double>> start =
      with_linear_start(kDecay, data.view(), std::vector<double>{-0.4});
  ASSERT_TRUE(start);
  ASSERT_EQ(start->size(), 3u);
  EXPECT_EQ((*start)[0], -0.4);
  EXPECT_NEAR((*start)[1], 3.0, 1e-12);
  EXPECT_NEAR((*start)[2], 2.0, 1e-12);
  // Undefined on a row (ln(x + c0) at x = 0, c0 = 0), constant on the rows, or an inner vector of the
  // wrong size: no start.
  const Expr log_shape{{x(), c(0), op(OpCode::Add), op(OpCode::Ln)}};
  EXPECT_FALSE(with_linear_start(log_shape, data.view(), std::vector<double>{0.0}));
  EXPECT_FALSE(with_linear_start(Expr{{c(0), op(OpCode::Exp)}}, data.view(), std::vector<double>{1.0}));
  EXPECT_FALSE(with_linear_start(kDecay, data.view(), std::vector<double>{-0.4, 1.0}));
  // A batch job with a linear start is the fit from that start; one without a start is refused.
  std::vector<FitJob> jobs{FitJob{kDecay, {-0.3}, {}, true}, FitJob{log_shape, {0.0}, {}, true}};
  const std::vector<ParameterFit> fitted = fit_batch(jobs, data.view(), FitOptions{});
  const std::optional<std::vector<double>> from =
      with_linear_start(kDecay, data.view(), std::vector<double>{-0.3});
  ASSERT_TRUE(from);
  const ParameterFit lone = fit_all(kDecay, data, *from);
  ASSERT_EQ(fitted[0].status, FitStatus::Converged);
  EXPECT_EQ(fitted[0].full, lone.full);
  EXPECT_EQ(fitted[1].status, FitStatus::Refused);
}

FitOptions without_projection() {
  FitOptions options;
  options.project_line = false;
  return options;
}

// With the scale and offset solved for at each point, the fit ends at the
// full problem's optimum: same entries, error and Jacobian, on data the shape
// does not fit exactly (a residual-free optimum would hide a wrong gradient).
TEST(ParameterFit, ProjectedLineReachesTheFullOptimum) {
  struct Case {
    const char* name;
    Expr shape;
    std::vector<double> inner;
    Data data;
    // Relative, of the entries: where the error is flat the tolerances stop
    // both fits a little apart, though their errors agree to 1e-12.
    double agreement;
  };
  const auto wiggle = [](double s) { return 0.05 * std::sin(5.0 * s); };
  using enum OpCode;
  const std::vector<Case> cases{
      {"saturation",
       kSaturation,
       {1.0},
       data_of(0.1, 10.0, 70, [&](double s) { return 4.0 * s / (1.5 + s) + wiggle(s) - 1.0; }),
       1e-8},
      {"decay",
       kDecay,
       {-0.3},
       data_of(0.0, 10.0, 70, [&](double t) { return 2.0 + 3.0 * std::exp(-t / 2.5) + wiggle(t); }),
       1e-8},
      // exp(c0 / (x + c1)), along a long curved valley
      {"antoine",
       {{c(0), x(), c(1), op(Add), op(Div), op(Exp)}},
       {-10.0, 10.0},
       data_of(0.0, 10.0, 70, [&](double t) { return std::exp(2.0 - 30.0 / (t + 12.0)) + wiggle(t); }),
       1e-7},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const std::optional<std::vector<double>> start =
        with_linear_start(test.shape, test.data.view(), test.inner);
    ASSERT_TRUE(start);
    const std::vector<bool> every(start->size(), true);
    const ParameterFit projected = fit_parameters(test.shape, test.data.view(), *start, every, FitOptions{});
    const ParameterFit full =
        fit_parameters(test.shape, test.data.view(), *start, every, without_projection());
    ASSERT_EQ(projected.status, FitStatus::Converged);
    ASSERT_EQ(full.status, FitStatus::Converged);
    EXPECT_GT(full.sse, 1e-3);
    EXPECT_NEAR(projected.sse, full.sse, 1e-12 * full.sse);
    for (std::size_t j = 0; j < every.size(); ++j)
      EXPECT_NEAR(projected.full[j], full.full[j], test.agreement * std::max(1.0, std::fabs(full.full[j])))
          << j;
    ASSERT_EQ(projected.jacobian.size(), test.data.target.size() * every.size());
    for (std::size_t k = 0; k < full.jacobian.size(); ++k)
      EXPECT_NEAR(projected.jacobian[k], full.jacobian[k], 1e-7 * std::max(1.0, std::fabs(full.jacobian[k])));
  }
}

// A fixed scale or offset keeps the full problem: the fit is the one without
// projection, bit for bit, and the fixed entry keeps its value.
TEST(ParameterFit, FixedScaleOrOffsetFitsTheFullProblem) {
  const Data decay = data_of(0.0, 10.0, 60, [](double t) { return 2.0 + 3.0 * std::exp(-t / 2.5); });
  const std::vector<double> start{-0.3, 2.5, 1.5};
  for (const std::vector<bool>& free :
       {std::vector<bool>{true, false, true}, std::vector<bool>{true, true, false}}) {
    const ParameterFit fitted = fit_parameters(kDecay, decay.view(), start, free, FitOptions{});
    const ParameterFit full = fit_parameters(kDecay, decay.view(), start, free, without_projection());
    ASSERT_EQ(fitted.status, FitStatus::Converged);
    EXPECT_EQ(bits_of(fitted), bits_of(full));
    EXPECT_EQ(fitted.full[free[1] ? 2 : 1], free[1] ? 1.5 : 2.5);
  }
}

// A formula constant on the rows leaves the line's scale undetermined: the
// projected fit says so, with finite values, instead of dividing by zero.
TEST(ParameterFit, ProjectionOfAConstantFormulaIsUndetermined) {
  Data flat{std::vector<double>(20, 2.0), spread(1.0, 3.0, 20)};
  const ParameterFit fitted = fit_all(kDecay, flat, {-0.3, 1.0, 0.0});
  EXPECT_EQ(fitted.status, FitStatus::Undetermined);
  for (double v : fitted.full) EXPECT_TRUE(std::isfinite(v));
  EXPECT_TRUE(fitted.jacobian.empty());
}

std::vector<std::uint64_t> bits_of(const ParameterFit& fit) {
  std::vector<std::uint64_t> bits{static_cast<std::uint64_t>(fit.status),
                                  std::bit_cast<std::uint64_t>(fit.sse), fit.evaluations};
  for (double v : fit.full) bits.push_back(std::bit_cast<std::uint64_t>(v));
  for (double v : fit.jacobian) bits.push_back(std::bit_cast<std::uint64_t>(v));
  return bits;
}

// The batch runs on the pool (ctest runs this with 1 and 4 threads); each of
// its fits is the lone fit of its job, bit for bit.
TEST(ParameterFit, BatchGivesEachJobsLoneFitBitForBit) {
  const Data data =
      data_of(0.1, 10.0, 80, [](double s) { return 4.0 * s / (1.5 + s) + 0.01 * std::sin(7.0 * s); });
  std::vector<FitJob> jobs;
  for (int k = 0; k < 24; ++k) {
    const double start = 0.2 + 0.35 * k;
    jobs.push_back(FitJob{
        k % 3 == 2 ? kDecay : kSaturation, {k % 3 == 2 ? -start : start, 3.0, 0.0}, {true, true, true}});
  }
  jobs.push_back(FitJob{kRedundant, {0.3, 0.2, 1.0, 0.0}, {true, true, true, true}});
  const std::vector<ParameterFit> batch = fit_batch(jobs, data.view(), FitOptions{});
  ASSERT_EQ(batch.size(), jobs.size());
  std::size_t converged = 0;
  for (std::size_t k = 0; k < jobs.size(); ++k) {
    const ParameterFit lone =
        fit_parameters(jobs[k].shape, data.view(), jobs[k].start, jobs[k].free, FitOptions{});
    EXPECT_EQ(bits_of(batch[k]), bits_of(lone)) << "job " << k;
    converged += lone.status == FitStatus::Converged;
  }
  EXPECT_GT(converged, 10u);
  EXPECT_EQ(batch.back().status, FitStatus::Undetermined);
}

}  // namespace
}  // namespace zor::fit
