#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <numbers>
#include <string>
#include <vector>

#include "core/fault.hpp"
#include "core/kernels.hpp"
#include "core/memory.hpp"
#include "core/multivector.hpp"

namespace {

namespace k = zor::kernels;
using k::Octet;
using zor::Pair;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kLnFloorLog = -690.7755278982137;

// Equal within `rel` relative tolerance; rel == 0 asks for the same value
// (NaN matching NaN).
void expect_close(double got, double want, double rel, const std::string& what) {
  if (std::isnan(want)) {
    EXPECT_TRUE(std::isnan(got)) << what << " got " << got;
  } else if (rel == 0.0 || std::isinf(want)) {
    EXPECT_EQ(got, want) << what;
  } else {
    EXPECT_NEAR(got, want, std::fabs(want) * rel) << what;
  }
}

using Unary = std::vector<double> (*)(std::span<const double>);
using Binary = std::vector<double> (*)(std::span<const double>, std::span<const double>);

struct UnaryCase {
  const char* name;
  Unary fn;
  double x;
  double want;
  double rel;
};

TEST(ScalarKernels, OneInputGuards) {
  const UnaryCase cases[] = {
      {"exp at limit", k::exp_n, 709.78, 1.7928227943945155e308, 1e-15},
      {"exp above limit folds", k::exp_n, 710.0, 710.0, 1e-13},
      {"exp 1000 folds", k::exp_n, 1000.0, 1000.0, 1e-13},
      {"exp +inf", k::exp_n, kInf, kInf, 0},
      {"exp -inf", k::exp_n, -kInf, 0.0, 0},
      {"exp nan", k::exp_n, kNan, kNan, 0},
      {"ln 0", k::ln_n, 0.0, kLnFloorLog, 1e-15},
      {"ln -0", k::ln_n, -0.0, kLnFloorLog, 1e-15},
      {"ln tiny negative floored", k::ln_n, -1e-320, kLnFloorLog, 1e-15},
      {"ln negative uses magnitude", k::ln_n, -2.0, 0.6931471805599453, 1e-15},
      {"ln positive subnormal kept", k::ln_n, 1e-320, -736.8272408909739, 1e-13},
      {"ln -inf", k::ln_n, -kInf, kInf, 0},
      {"ln nan", k::ln_n, kNan, kNan, 0},
      {"sqrt negative", k::sqrt_n, -4.0, 2.0, 0},
      {"sqrt -inf", k::sqrt_n, -kInf, kInf, 0},
      {"sqrt nan", k::sqrt_n, kNan, kNan, 0},
      {"sin 0", k::sin_n, 0.0, 0.0, 0},
      {"cos 0", k::cos_n, 0.0, 1.0, 0},
  };
  for (const auto& c : cases) {
    auto out = c.fn(std::vector<double>{c.x});
    ASSERT_EQ(out.size(), 1u) << c.name;
    expect_close(out[0], c.want, c.rel, c.name);
  }
}

struct BinaryCase {
  const char* name;
  Binary fn;
  double a;
  double b;
  double want;
  double rel;
};

TEST(ScalarKernels, TwoInputGuards) {
  const BinaryCase cases[] = {
      {"div at threshold", k::div_n, 1.0, 1e-300, 1e300, 1e-15},
      {"div by nan", k::div_n, 1.0, kNan, kNan, 0},
      {"div by inf", k::div_n, 1.0, kInf, 0.0, 0},
      {"pow negative base, half", k::pow_n, -2.0, 0.5, 1.4142135623730951, 1e-15},
      {"pow negative base, cube", k::pow_n, -2.0, 3.0, 8.0, 0},
      {"pow zero base, negative exp", k::pow_n, 0.0, -1.0, kInf, 0},
      {"tension origin", k::tension_n, 0.0, 1.0, 1.0, 0},
      {"tension zero y", k::tension_n, 0.0, 0.0, 691.7755278982137, 1e-15},
      {"tension folded x", k::tension_n, 1000.0, 1.0, 1000.0, 1e-13},
      {"add", k::add_n, 1.0, 10.0, 11.0, 0},
      {"sub", k::sub_n, 1.0, 10.0, -9.0, 0},
      {"mul", k::mul_n, 3.0, -2.0, -6.0, 0},
  };
  for (const auto& c : cases) {
    auto out = c.fn(std::vector<double>{c.a}, std::vector<double>{c.b});
    ASSERT_EQ(out.size(), 1u) << c.name;
    expect_close(out[0], c.want, c.rel, c.name);
  }
}

TEST(ScalarKernels, DivisorBelowFloorGivesThePositiveQuietNan) {
  const double numerators[] = {1.0, -1.0, 0.0, kInf};
  const double divisors[] = {1e-301, -1e-301, 0.0, -0.0, 5e-324};
  for (double a : numerators) {
    for (double b : divisors) {
      double as[] = {a};
      double bs[] = {b};
      auto out = k::div_n(as, bs);
      ASSERT_EQ(out.size(), 1u);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(out[0]), 0x7FF8000000000000u) << a << " / " << b;
    }
  }
}

TEST(ScalarKernels, LengthsAndEmptyInputs) {
  std::vector<double> five = {1, 2, 3, 4, 5}, three = {10, 20, 30}, one = {10}, none;
  for (Binary fn : {k::add_n, k::sub_n, k::mul_n, k::div_n, k::tension_n, k::pow_n}) {
    EXPECT_EQ(fn(five, three).size(), 3u);
    EXPECT_EQ(fn(three, five).size(), 3u);
    EXPECT_TRUE(fn(none, five).empty());
    EXPECT_TRUE(fn(none, none).empty());
  }
  for (Unary fn : {k::exp_n, k::ln_n, k::sqrt_n, k::sin_n, k::cos_n}) EXPECT_TRUE(fn(none).empty());
  EXPECT_EQ(k::add_n(std::vector<double>{1, 2, 3}, one), std::vector<double>{11.0});
  EXPECT_EQ(k::sub_n(five, three), (std::vector<double>{-9, -18, -27}));
}

// Large batches run on many pieces; every element must still equal the scalar
// operation the value types use, bit for bit and in place.
TEST(ScalarKernels, LargeBatchesMatchTheScalarOperations) {
  const std::size_t n = 300001;
  std::vector<double> xs(n), ys(n), phis(n);
  std::vector<Pair> points(n);
  for (std::size_t i = 0; i < n; ++i) {
    xs[i] = std::sin(static_cast<double>(i)) * 800.0;
    ys[i] = std::cos(static_cast<double>(i) * 1.3) * 50.0;
    phis[i] = std::sin(static_cast<double>(i) * 0.7);
    points[i] = {xs[i] / 100.0, ys[i]};
  }
  auto tension = k::tension_n(xs, ys);
  auto boosted = k::boost_n(points, phis, 1.5);
  ASSERT_EQ(tension.size(), n);
  ASSERT_EQ(boosted.size(), n);
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(std::bit_cast<std::uint64_t>(tension[i]),
              std::bit_cast<std::uint64_t>(zor::tension({xs[i], ys[i]})))
        << i;
    zor::Point expected = zor::boost({points[i].real, points[i].imag}, phis[i], 1.5);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(boosted[i].real), std::bit_cast<std::uint64_t>(expected.x)) << i;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(boosted[i].imag), std::bit_cast<std::uint64_t>(expected.y)) << i;
  }
}

TEST(Relativity, BoostCases) {
  struct Case {
    const char* name;
    Pair point;
    double phi;
    Pair want;
  };
  const Case cases[] = {
      {"no boost", {0.0, 1.0}, 0.0, {0.0, 1.0}},
      {"unit rapidity", {0.0, 1.0}, 1.0, {0.4337808304830271, 0.3087568535221258}},
      {"zero y uses the ln floor", {0.0, 0.0}, 0.0, {0.0, 1e-300}},
      {"time pushed below zero is floored", {0.0, std::exp(10.0)}, 1.0, {kLnFloorLog, 0.0}},
  };
  for (const auto& c : cases) {
    Pair pts[] = {c.point};
    double phis[] = {c.phi};
    auto out = k::boost_n(pts, phis, 1.0);
    ASSERT_EQ(out.size(), 1u) << c.name;
    expect_close(out[0].real, c.want.real, 1e-12, c.name);
    if (c.want.imag != 0.0) expect_close(out[0].imag, c.want.imag, 1e-12, c.name);
  }
  Pair two[] = {{0.0, 1.0}, {1.0, 2.0}};
  double half[] = {0.5};
  EXPECT_EQ(k::boost_n(two, half, 1.0).size(), 1u);
}

TEST(Relativity, ChristoffelCases) {
  struct Case {
    const char* name;
    double x;
    std::uint64_t lam, mu, nu;
    double rs;
    double want;
    double rel;
  };
  const Case cases[] = {
      {"t_tr", 0.0, 0, 0, 1, 0.5, 0.5, 1e-15},
      {"t_rt", 0.0, 0, 1, 0, 0.5, 0.5, 1e-15},
      {"t_tt is zero", 0.0, 0, 0, 0, 0.5, 0.0, 0},
      {"r_rr", 0.0, 1, 1, 1, 0.5, -0.5, 1e-15},
      {"r_tt", 0.0, 1, 0, 0, 0.5, 0.125, 1e-15},
      {"r_tr is zero", 0.0, 1, 0, 1, 0.5, 0.0, 0},
      {"inside horizon lifted", 0.0, 0, 0, 1, 2.0, 4.99999958e8, 1e-7},
      {"angular index", 0.0, 2, 2, 2, 1.0, 0.0, 0},
      {"huge index", 0.0, 1, 1, ~std::uint64_t{0}, 0.5, 0.0, 0},
      {"margin lost in rounding, t_tr", 0.0, 0, 0, 1, 3e7, 0.0, 0},
      {"margin lost in rounding, r_tt", 0.0, 1, 0, 0, 3e7, 0.0, 0},
      {"margin lost in rounding, r_rr", 0.0, 1, 1, 1, 3e7, 0.0, 0},
      {"nan radius takes the margin", kNan, 0, 0, 1, 0.5, 0.5 / (1e-9 * 1.000000002), 1e-6},
      {"nan rs keeps the radius", 0.0, 0, 0, 1, kNan, kNan, 0},
      {"zero radius below a negative rs", -kInf, 0, 0, 1, -1.0, 0.0, 0},
  };
  for (const auto& c : cases) {
    Pair pts[] = {{c.x, 9.9}};
    auto out = k::christoffel_batch_n(pts, c.lam, c.mu, c.nu, c.rs);
    ASSERT_EQ(out.size(), 1u) << c.name;
    expect_close(out[0], c.want, c.rel, c.name);
  }
  EXPECT_TRUE(k::christoffel_batch_n({}, 0, 0, 1, 1.0).empty());
}

Octet unit(int i, double sign = 1.0) {
  Octet o{};
  o[i] = sign;
  return o;
}

Octet mul1(const Octet& a, const Octet& b) {
  Octet as[] = {a};
  Octet bs[] = {b};
  auto out = k::octonion_mul_n(as, bs);
  EXPECT_EQ(out.size(), 1u);
  return out.at(0);
}

TEST(Octonions, TableFollowsTheSevenTriples) {
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(mul1(unit(0), unit(i)), unit(i)) << i;
    EXPECT_EQ(mul1(unit(i), unit(0)), unit(i)) << i;
    if (i > 0) {
      EXPECT_EQ(mul1(unit(i), unit(i)), unit(0, -1.0)) << i;
    }
  }
  // e_i e_{i+1} = e_{i+3}, indexes cyclic in 1..7, with all its rotations;
  // the reversed products are negated.
  for (int i = 1; i <= 7; ++i) {
    int t[3] = {i, i % 7 + 1, (i + 2) % 7 + 1};
    for (int r = 0; r < 3; ++r) {
      int a = t[r], b = t[(r + 1) % 3], c = t[(r + 2) % 3];
      EXPECT_EQ(mul1(unit(a), unit(b)), unit(c)) << a << "*" << b;
      EXPECT_EQ(mul1(unit(b), unit(a)), unit(c, -1.0)) << b << "*" << a;
    }
  }
}

TEST(Octonions, ZeroSkippingAndAccumulation) {
  const double nan = kNan;
  struct Case {
    const char* name;
    Octet a, b, want;
  };
  const Case cases[] = {
      {"inf times one", {1, 0, 0, 0, 0, 0, 0, 0}, {kInf, 0, 0, 0, 0, 0, 0, 0}, {kInf, 0, 0, 0, 0, 0, 0, 0}},
      {"negative zero is skipped",
       {-0.0, 1, 0, 0, 0, 0, 0, 0},
       {kInf, 0, 0, 0, 0, 0, 0, 0},
       {0, kInf, 0, 0, 0, 0, 0, 0}},
      {"(1+e1)^2 = 2e1", {1, 1, 0, 0, 0, 0, 0, 0}, {1, 1, 0, 0, 0, 0, 0, 0}, {0, 2, 0, 0, 0, 0, 0, 0}},
      {"e1 (e2 + e3)", {0, 2, 0, 0, 0, 0, 0, 0}, {0, 0, 3, 5, 0, 0, 0, 0}, {0, 0, 0, 0, 6, 0, 0, 10}},
  };
  for (const auto& c : cases) {
    Octet got = mul1(c.a, c.b);
    for (int i = 0; i < 8; ++i)
      expect_close(got[i], c.want[i], 0, std::string(c.name) + " @" + std::to_string(i));
  }
  Octet got = mul1({nan, 0, 0, 0, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_TRUE(std::isnan(got[0]));  // NaN is not a zero
  Octet three[] = {unit(1), unit(2), unit(3)};
  Octet one[] = {unit(2)};
  EXPECT_EQ(k::octonion_mul_n(three, one).size(), 1u);
}

std::vector<std::int8_t> sig(std::initializer_list<int> s) { return {s.begin(), s.end()}; }

TEST(GeometricProduct, Cases) {
  struct Case {
    const char* name;
    std::vector<double> a, b;
    std::vector<std::int8_t> signature;
    std::vector<double> want;
  };
  const Case cases[] = {
      {"e1 e1 euclidean", {0, 1, 0, 0}, {0, 1, 0, 0}, sig({1, 1}), {1, 0, 0, 0}},
      {"e1 e1 negative metric", {0, 1, 0, 0}, {0, 1, 0, 0}, sig({-1, 1}), {-1, 0, 0, 0}},
      {"e1 e2", {0, 1, 0, 0}, {0, 0, 1, 0}, sig({1, 1}), {0, 0, 0, 1}},
      {"e2 e1", {0, 0, 1, 0}, {0, 1, 0, 0}, sig({1, 1}), {0, 0, 0, -1}},
      {"(e1e2)^2", {0, 0, 0, 1}, {0, 0, 0, 1}, sig({1, 1}), {-1, 0, 0, 0}},
      {"all-zero a ignores b", {0, 0}, {5}, sig({}), {0, 0}},
      {"extra b ignored", {1, 0, 0, 0}, {1, 2, 3, 4, 5}, sig({1, 1}), {1, 2, 3, 4}},
      {"e1e2 e2 = e1", {0, 0, 0, 1}, {0, 0, 1, 0}, sig({1, 3}), {0, 3, 0, 0}},
      {"e1e2e3 e1 in 3D",
       {0, 0, 0, 0, 0, 0, 0, 1},
       {0, 1, 0, 0, 0, 0, 0, 0},
       sig({2, 1, 1}),
       {0, 0, 0, 0, 0, 0, 2, 0}},
      {"zero metric entry", {0, 1}, {0, 1}, sig({0}), {0, 0}},
      {"empty", {}, {}, sig({}), {}},
  };
  for (const auto& c : cases) EXPECT_EQ(zor::geometric_product(c.a, c.b, c.signature), c.want) << c.name;
}

std::string fault_text(const std::vector<std::vector<double>>& a, const std::vector<std::vector<double>>& b,
                       const std::vector<std::int8_t>& signature) {
  try {
    zor::geometric_product_n(a, b, signature);
  } catch (const zor::Fault& f) {
    return f.what();
  }
  return "no fault";
}

TEST(GeometricProduct, IndexFaults) {
  struct Case {
    const char* name;
    std::vector<double> a, b;
    std::vector<std::int8_t> signature;
    const char* text;
  };
  const Case cases[] = {
      {"blade outside a",
       {1, 2, 3},
       {1, 1, 1},
       sig({1, 1}),
       "index out of bounds: the len is 3 but the index is 3"},
      {"no signature entry", {0, 1}, {0, 1}, sig({}), "index out of bounds: the len is 0 but the index is 0"},
      {"b shorter than a",
       {0, 1, 0, 0},
       {0, 1},
       sig({1, 1}),
       "index out of bounds: the len is 2 but the index is 2"},
      {"nan in a is not zero",
       {kNan, 0},
       {5},
       sig({}),
       "index out of bounds: the len is 1 but the index is 1"},
  };
  for (const auto& c : cases) EXPECT_EQ(fault_text({c.a}, {c.b}, c.signature), c.text) << c.name;
}

TEST(GeometricProduct, BatchReportsTheLowestFaultingPair) {
  const std::size_t n = 5000;
  std::vector<std::vector<double>> a(n, {1, 2, 3, 4}), b(n, {4, 3, 2, 1});
  a[4200] = {1, 2, 3};       // fault at len 3
  a[137] = {0, 1, 0, 0, 0};  // fault at len 5, lower index
  b[137] = {4, 3, 2, 1, 1};
  b[4999] = {1};  // fault on b's length
  for (int round = 0; round < 30; ++round) {
    ASSERT_EQ(fault_text(a, b, sig({1, 1})), "index out of bounds: the len is 5 but the index is 5");
  }
  a[137] = {0, 1, 0, 0};
  b[137] = {4, 3, 2, 1};
  a[4200] = {1, 0, 0, 0};
  b[4999] = {4, 3, 2, 1};
  auto out = zor::geometric_product_n(a, b, sig({1, 1}));
  ASSERT_EQ(out.size(), n);
  EXPECT_EQ(out[137], (std::vector<double>{3, 4, 1, 2}));  // e1 (4 + 3e1 + 2e2 + e12)
  EXPECT_EQ(out[4200], (std::vector<double>{4, 3, 2, 1}));
}

TEST(PairKernels, RotationAndSchrodinger) {
  Pair one[] = {{1.0, 0.0}};
  double quarter[] = {std::numbers::pi / 2};
  auto r = k::rotate_phase_n(one, quarter);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_NEAR(r[0].real, 6.123233995736766e-17, 1e-30);
  EXPECT_EQ(r[0].imag, 1.0);

  Pair two[] = {{1.0, 2.0}, {3.0, 4.0}};
  double zero[] = {0.0};
  auto kept = k::rotate_phase_n(two, zero);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].real, 1.0);
  EXPECT_EQ(kept[0].imag, 2.0);

  auto still = k::schrodinger_step_n(one, zero, 0.1, 1.0);
  ASSERT_EQ(still.size(), 1u);
  EXPECT_EQ(still[0].real, 1.0);
  EXPECT_EQ(still[0].imag, 0.0);

  double unit_v[] = {1.0};
  auto flipped = k::schrodinger_step_n(one, unit_v, std::numbers::pi, 1.0);
  EXPECT_NEAR(flipped[0].real, -1.0, 1e-15);
  EXPECT_NEAR(flipped[0].imag, 0.0, 1e-15);

  auto no_hbar = k::schrodinger_step_n(one, unit_v, 0.1, 0.0);
  EXPECT_TRUE(std::isnan(no_hbar[0].real) && std::isnan(no_hbar[0].imag));
  EXPECT_TRUE(k::schrodinger_step_n(two, {}, 0.1, 1.0).empty());
}

TEST(PairKernels, SimulatePulses) {
  struct Case {
    double x0, y0;
    std::vector<k::Triple> want;
  };
  const double e = 2.718281828459045, ln2 = 0.6931471805599453;
  const Case cases[] = {
      {0.0, 1.0, {{0.0, 1.0, 1.0}, {1.0, 1.0, e}}},
      {0.0, -2.0, {{0.0, -2.0, 1.0 - ln2}, {2.0, 1.0 - ln2, std::exp(2.0) - std::log(1.0 - ln2)}}},
      {0.0,
       0.0,
       {{0.0, 0.0, 691.7755278982137}, {1e-300, 691.7755278982137, 1.0 - std::log(691.7755278982137)}}},
  };
  for (const auto& c : cases) {
    auto first = k::simulate_pulses_n(c.x0, c.y0, 0);
    ASSERT_EQ(first.size(), 1u);
    auto out = k::simulate_pulses_n(c.x0, c.y0, 1);
    ASSERT_EQ(out.size(), 2u);
    for (std::size_t s = 0; s < 2; ++s)
      for (std::size_t f = 0; f < 3; ++f)
        EXPECT_NEAR(out[s][f], c.want[s][f], 1e-13 * std::fabs(c.want[s][f]));
    EXPECT_EQ(out[0], first[0]);
  }
  // Each entry starts where the previous pulse ended.
  auto run = k::simulate_pulses_n(0.3, -0.7, 50);
  ASSERT_EQ(run.size(), 51u);
  for (std::size_t s = 1; s < run.size(); ++s) EXPECT_EQ(run[s][1], run[s - 1][2]) << s;
}

TEST(PairKernels, HopelessPulseCountsFailAtOnce) {
  for (std::uint64_t n :
       {~std::uint64_t{0}, ~std::uint64_t{0} - 1, std::uint64_t{1} << 60, std::uint64_t{1} << 50}) {
    EXPECT_THROW(k::simulate_pulses_n(0.0, 1.0, n), std::bad_alloc) << n;
  }
}

TEST(Memory, ResultFitsInMemory) {
  struct Case {
    std::uint64_t count;
    std::size_t bytes;
    bool fits;
  };
  const Case cases[] = {
      {0, 24, true},
      {1000, 24, true},
      {~std::uint64_t{0}, 2, false},
      {std::uint64_t{1} << 62, 8, false},
      {std::uint64_t{1} << 50, 24, false},
      {~std::uint64_t{0}, 0, true},
  };
  for (const auto& c : cases) EXPECT_EQ(zor::result_fits_in_memory(c.count, c.bytes), c.fits) << c.count;
}

}  // namespace
