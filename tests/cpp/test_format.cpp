#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "core/format.hpp"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct FixedCase {
  double value;
  int decimals;
  const char* expected;
};

class FixedForm : public ::testing::TestWithParam<FixedCase> {};

TEST_P(FixedForm, MatchesExpectedText) {
  const FixedCase& c = GetParam();
  EXPECT_EQ(zor::format_fixed(c.value, c.decimals), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FixedForm,
    ::testing::Values(
        FixedCase{1.0, 6, "1.000000"}, FixedCase{-0.0, 6, "-0.000000"}, FixedCase{-1e-9, 6, "-0.000000"},
        FixedCase{0.0078125, 6, "0.007812"}, FixedCase{0.0234375, 6, "0.023438"},
        FixedCase{1e20, 6, "100000000000000000000.000000"}, FixedCase{1.23456, 4, "1.2346"},
        FixedCase{0.5, 4, "0.5000"}, FixedCase{0.0, 4, "0.0000"}, FixedCase{-0.0, 4, "-0.0000"},
        FixedCase{kNaN, 6, "NaN"}, FixedCase{-kNaN, 4, "NaN"}, FixedCase{kInf, 6, "inf"},
        FixedCase{-kInf, 4, "-inf"}, FixedCase{0.7168146928204138, 4, "0.7168"}, FixedCase{2.5, 0, "2"},
        FixedCase{1.7976931348623157e308, 1,
                  "17976931348623157081452742373170435679807056752584499659891747680315726078002853876"
                  "05895586327668781715404589535143824642343213268894641827684675467035375169860499"
                  "10576551282076245490090389328944075868508455133942304583236903222948165808559332"
                  "12334827479782620414472316873817718091929988125040402618412485836"
                  "8.0"}));

// Long layouts once outgrew a fixed buffer and came back as garbage; the C
// library's printf is the reference for every precision.
TEST(FixedForm, AnyPrecisionMatchesPrintf) {
  for (double value : {1.7976931348623157e308, -5e-324, 0.1, -2.5, 1e22}) {
    for (int decimals : {-3, 0, 120, 400, 1074, 1100}) {
      std::string expected(2048, '\0');
      int length = std::snprintf(expected.data(), expected.size(), "%.*f", decimals, value);
      expected.resize(static_cast<std::size_t>(length));
      EXPECT_EQ(zor::format_fixed(value, decimals), expected) << value << " with " << decimals;
    }
  }
}

struct ShortestCase {
  double value;
  const char* expected;
};

class ShortestForm : public ::testing::TestWithParam<ShortestCase> {};

TEST_P(ShortestForm, MatchesExpectedText) {
  const ShortestCase& c = GetParam();
  EXPECT_EQ(zor::format_shortest(c.value), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ShortestForm,
                         ::testing::Values(ShortestCase{1.0, "1.0"}, ShortestCase{0.1, "0.1"},
                                           ShortestCase{1234.5, "1234.5"}, ShortestCase{-0.0, "-0.0"},
                                           ShortestCase{0.0, "0.0"}, ShortestCase{1e15, "1000000000000000.0"},
                                           ShortestCase{1e16, "1e16"}, ShortestCase{0.000015, "1.5e-5"},
                                           ShortestCase{0.0001, "0.0001"}, ShortestCase{-0.00012, "-0.00012"},
                                           ShortestCase{9.999999999999999e-5, "9.999999999999999e-5"},
                                           ShortestCase{12345678901234567890.0, "1.2345678901234567e19"},
                                           ShortestCase{5e-324, "5e-324"}, ShortestCase{-2.5e300, "-2.5e300"},
                                           ShortestCase{kNaN, "NaN"}, ShortestCase{kInf, "inf"},
                                           ShortestCase{-kInf, "-inf"}, ShortestCase{1e-300, "1e-300"},
                                           ShortestCase{2.718281828459045, "2.718281828459045"}));

class ExponentForm : public ::testing::TestWithParam<ShortestCase> {};

TEST_P(ExponentForm, MatchesExpectedText) {
  const ShortestCase& c = GetParam();
  EXPECT_EQ(zor::format_exponent2(c.value), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ExponentForm,
                         ::testing::Values(ShortestCase{1.23456e-12, "1.23e-12"},
                                           ShortestCase{0.5, "5.00e-1"}, ShortestCase{12345.6, "1.23e4"},
                                           ShortestCase{0.0, "0.00e0"}, ShortestCase{-0.0, "-0.00e0"},
                                           ShortestCase{0.000123456, "1.23e-4"},
                                           ShortestCase{9.995, "9.99e0"}, ShortestCase{9.996, "1.00e1"},
                                           ShortestCase{0.125, "1.25e-1"},
                                           ShortestCase{-3.5e300, "-3.50e300"}, ShortestCase{kNaN, "NaN"},
                                           ShortestCase{kInf, "inf"}, ShortestCase{-kInf, "-inf"}));

// Shortest digits must always read back as the same double.
TEST(ShortestForm, RoundTripsAcrossMagnitudes) {
  for (double v = 1e-320; v < 1e300; v *= 7.3) {
    for (double candidate : {v, -v, std::nextafter(v, 0.0)}) {
      std::string text = zor::format_shortest(candidate);
      double parsed = 0.0;
      std::from_chars(text.data(), text.data() + text.size(), parsed);
      EXPECT_EQ(parsed, candidate) << text;
    }
  }
}

}  // namespace
