// What the fuzz targets share: how a broken property is reported, and how
// a double is drawn from the input.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <numbers>

// A message and abort, which libFuzzer records as a crash with its input.
inline void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// Half the time a value at a guard or an edge, otherwise any bit pattern.
inline double pick_double(FuzzedDataProvider& input) {
  static constexpr double kEdges[] = {
      0.0,
      -0.0,
      1.0,
      -1.0,
      0.5,
      2.0,
      3.0,
      0.1,
      1e-10,
      1e-300,
      5e-301,
      -1e-300,
      1e300,
      709.78,
      710.0,
      -745.2,
      std::numbers::pi,
      std::numbers::e,
      std::numeric_limits<double>::infinity(),
      std::numeric_limits<double>::quiet_NaN(),
      std::numeric_limits<double>::denorm_min(),
  };
  if (input.ConsumeBool()) return input.PickValueInArray(kEdges);
  return std::bit_cast<double>(input.ConsumeIntegral<std::uint64_t>());
}
