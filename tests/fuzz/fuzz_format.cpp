// The number forms on arbitrary doubles and precisions, checked against the
// C library's printf and strtod.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/format.hpp"
#include "fuzz_support.hpp"

namespace {

std::string printf_form(const char* format, int precision, double value) {
  std::string text(2048, '\0');
  int length = std::snprintf(text.data(), text.size(), format, precision, value);
  text.resize(static_cast<std::size_t>(length));
  return text;
}

void check_fixed(double value, int decimals) {
  std::string text = zor::format_fixed(value, decimals);
  if (std::isnan(value)) return require(text == "NaN", "fixed form of NaN");
  if (std::isinf(value)) return require(text == (value < 0 ? "-inf" : "inf"), "fixed form of an infinity");
  require(text == printf_form("%.*f", decimals, value), "fixed form differs from printf");
}

void check_shortest(double value) {
  std::string text = zor::format_shortest(value);
  if (std::isnan(value)) return require(text == "NaN", "shortest form of NaN");
  if (std::isinf(value)) return require(text == (value < 0 ? "-inf" : "inf"), "shortest form of an infinity");
  double back = std::strtod(text.c_str(), nullptr);
  require(std::bit_cast<std::uint64_t>(back) == std::bit_cast<std::uint64_t>(value),
          "shortest form does not read back");
  double magnitude = std::fabs(value);
  bool plain = magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16);
  require(plain == (text.find('e') == std::string::npos), "shortest form picks the wrong notation");
  if (plain) require(text.find('.') != std::string::npos, "plain shortest form without a point");
}

void check_exponent2(double value) {
  std::string text = zor::format_exponent2(value);
  if (std::isnan(value)) return require(text == "NaN", "exponent form of NaN");
  if (std::isinf(value)) return require(text == (value < 0 ? "-inf" : "inf"), "exponent form of an infinity");
  std::string reference = printf_form("%.*e", 2, value);  // "1.23e-05"
  std::size_t e = reference.find('e');
  std::string expected = reference.substr(0, e + 1) + std::to_string(std::atoi(reference.c_str() + e + 1));
  require(text == expected, "exponent form differs from printf");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  while (input.remaining_bytes() >= sizeof(double)) {
    double value = std::bit_cast<double>(input.ConsumeIntegral<std::uint64_t>());
    int decimals = input.ConsumeIntegralInRange<int>(-16, 1200);
    check_fixed(value, decimals);
    check_shortest(value);
    check_exponent2(value);
  }
  return 0;
}
