// Locale-independent number layouts used by the reprs and the formula text.
#pragma once

#include <string>

namespace zor {

// Plain decimal with exactly `decimals` digits after the point, rounded from
// the exact binary value (ties to even). "-" precedes every negative value and
// -0.0; NaN is "NaN", infinities "inf" / "-inf". A negative `decimals` means
// 6, as in printf.
std::string format_fixed(double value, int decimals);

// Shortest digits that read back as exactly `value`: plain notation with at
// least one fractional digit when the value is 0 or 1e-4 <= |v| < 1e16, else
// scientific ("1e16", "1.5e-5").
std::string format_shortest(double value);

// One digit, the point, two digits, "e" and the bare exponent: "1.23e-12",
// "5.00e-1", "0.00e0".
std::string format_exponent2(double value);

}  // namespace zor
