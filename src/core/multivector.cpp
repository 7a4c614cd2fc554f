#include "core/multivector.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>

#include "core/fault.hpp"
#include "core/pool.hpp"

namespace zor {
namespace {

// Each product is heavy (m^2 terms), so small pieces already pay off.
constexpr std::size_t kProductGrain = 64;

constexpr unsigned kIndexBits = 64;

// Blade i times blade j: the reordering sign of moving j's vectors past the
// higher vectors of i, times the metric entry of every vector they share.
double blade_sign(std::size_t i, std::size_t j, std::span<const std::int8_t> signature) {
  double sign = 1.0;
  for (std::size_t rest = j; rest != 0; rest &= rest - 1) {
    auto p = static_cast<unsigned>(std::countr_zero(rest));
    std::size_t above = p + 1 < kIndexBits ? i >> (p + 1) : 0;
    if (std::popcount(above) % 2 == 1) sign = -sign;
    if ((i >> p) & 1u) {
      if (p >= signature.size()) index_fault(signature.size(), p);
      sign = sign * static_cast<double>(signature[p]);
    }
  }
  return sign;
}

}  // namespace

std::vector<double> geometric_product(std::span<const double> a, std::span<const double> b,
                                      std::span<const std::int8_t> signature) {
  std::size_t m = a.size();
  std::vector<double> out(m, 0.0);
  for (std::size_t i = 0; i < m; ++i) {
    if (a[i] == 0.0) continue;  // NaN compares unequal, so it takes part
    for (std::size_t j = 0; j < m; ++j) {
      if (j >= b.size()) index_fault(b.size(), j);
      if (b[j] == 0.0) continue;
      double sign = blade_sign(i, j, signature);
      std::size_t k = i ^ j;
      if (k >= m) index_fault(m, k);
      out[k] = b[j] * (sign * a[i]) + out[k];
    }
  }
  return out;
}

std::vector<std::vector<double>> geometric_product_n(const std::vector<std::vector<double>>& a_batch,
                                                     const std::vector<std::vector<double>>& b_batch,
                                                     std::span<const std::int8_t> signature) {
  std::size_t n = std::min(a_batch.size(), b_batch.size());
  return pool::parallel_map<std::vector<double>>(
      n, [&](std::size_t i) { return geometric_product(a_batch[i], b_batch[i], signature); }, kProductGrain);
}

}  // namespace zor
