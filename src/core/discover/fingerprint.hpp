// Output fingerprints: the exact values of a formula at five fixed probe
// points, used to recognise formulas that compute the same function.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "core/discover/expr.hpp"

namespace zor::discover {

// Euler-Mascheroni, Glaisher-Kinkelin, golden ratio, ln 2, Apery's constant.
inline constexpr std::array<double, 5> PROBE_POINTS = {
    0.5772156649015328, 1.2824271291006226, 1.618033988749895, 0.6931471805599453, 1.2020569031595942,
};

// Per probe, the upper 32 bits of the value's bit pattern as a sign-extended
// signed integer, then the lower 32 bits as an unsigned integer.
using Fingerprint = std::array<std::int64_t, 2 * PROBE_POINTS.size()>;

// A 64-bit finaliser that spreads every input bit over the whole word; the
// seen sets hash fingerprints with it.
inline std::uint64_t mix64(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 31;
  return x;
}

// A formula's values at PROBE_POINTS, in order. Two formulas have equal
// fingerprints exactly when these values have identical bit patterns.
using ProbeValues = std::array<double, PROBE_POINTS.size()>;

// True when the two have identical bit patterns, the test of equal
// fingerprints.
inline bool same_probe_bits(const ProbeValues& a, const ProbeValues& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Variable k takes (k + 1) * p at probe p. Absent when the formula fails or
// is not finite at any probe.
std::optional<ProbeValues> probe_values(const Expr& expr, std::size_t n_vars);
std::optional<Fingerprint> fingerprint(const Expr& expr, std::size_t n_vars);

// Open-addressing (linear probing) hash set of fingerprints.
class FingerprintSet {
 public:
  FingerprintSet();

  // Inserts `fp` unless an equal fingerprint is present. Returns true when
  // it was inserted, false when an equal one was already there.
  bool insert_if_absent(const Fingerprint& fp);

  bool contains(const Fingerprint& fp) const;
  std::size_t size() const { return size_; }

 private:
  static std::uint64_t hash(const Fingerprint& fp);
  std::size_t find_slot(const Fingerprint& fp, std::uint64_t h) const;
  void grow();

  std::vector<Fingerprint> slots_;
  std::vector<std::uint8_t> used_;
  std::size_t size_ = 0;
};

}  // namespace zor::discover
