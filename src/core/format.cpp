#include "core/format.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace zor {
namespace {

// Writes NaN and the infinities; returns false for finite values.
bool format_non_finite(double value, std::string& out) {
  if (std::isnan(value)) {
    out = "NaN";
    return true;
  }
  if (std::isinf(value)) {
    out = value < 0 ? "-inf" : "inf";
    return true;
  }
  return false;
}

}  // namespace

std::string format_fixed(double value, int decimals) {
  std::string out;
  if (format_non_finite(value, out)) return out;
  // Like printf, a negative precision means 6. Every double is exact within
  // 1074 fractional digits, so more decimals only add zeros.
  if (decimals < 0) decimals = 6;
  constexpr int kExactDecimals = 1074;
  const int exact_decimals = std::min(decimals, kExactDecimals);
  // Sign, 309 integer digits at most, point, decimals.
  out.resize(1 + 309 + 1 + static_cast<std::size_t>(exact_decimals));
  auto result =
      std::to_chars(out.data(), out.data() + out.size(), value, std::chars_format::fixed, exact_decimals);
  // to_chars keeps the sign of -0.0 and of negatives that round to zero.
  out.resize(static_cast<std::size_t>(result.ptr - out.data()));
  out.append(static_cast<std::size_t>(decimals - exact_decimals), '0');
  return out;
}

std::string format_shortest(double value) {
  std::string out;
  if (format_non_finite(value, out)) return out;
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string sci(buffer, result.ptr);  // e.g. "-1.2345e+19", "5e-324"
  bool negative = std::signbit(value);
  size_t start = negative ? 1 : 0;
  size_t e_pos = sci.find('e');
  std::string digits;
  for (size_t i = start; i < e_pos; ++i)
    if (sci[i] != '.') digits += sci[i];
  int exponent = std::atoi(sci.c_str() + e_pos + 1);
  double magnitude = std::fabs(value);

  out = negative ? "-" : "";
  if (magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16)) {
    int point = exponent + 1;  // digits before the decimal point
    if (point <= 0) {
      out += "0.";
      out.append(static_cast<size_t>(-point), '0');
      out += digits;
    } else if (static_cast<size_t>(point) >= digits.size()) {
      out += digits;
      out.append(static_cast<size_t>(point) - digits.size(), '0');
      out += ".0";
    } else {
      out += digits.substr(0, static_cast<size_t>(point));
      out += '.';
      out += digits.substr(static_cast<size_t>(point));
    }
  } else {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += 'e';
    out += std::to_string(exponent);
  }
  return out;
}

std::string format_exponent2(double value) {
  std::string out;
  if (format_non_finite(value, out)) return out;
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, 2);
  std::string sci(buffer, result.ptr);  // e.g. "1.23e-12", "5.00e-01", "0.00e+00"
  size_t e_pos = sci.find('e');
  int exponent = std::atoi(sci.c_str() + e_pos + 1);
  out = sci.substr(0, e_pos + 1);
  out += std::to_string(exponent);
  return out;
}

}  // namespace zor
