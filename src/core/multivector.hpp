// Geometric (Clifford) product of multivectors stored as flat coefficient
// arrays: coefficient k belongs to the blade whose basis vectors are the set
// bits of k (bit 0 = e1). The metric is diagonal, signature[p] being the
// square of basis vector p.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace zor {

// a * b (a on the left). The result has a.size() coefficients; entries of b
// beyond that are ignored. Throws zor::Fault ("index out of bounds: ...")
// when a non-zero coefficient of a reaches an entry missing from b, a shared
// basis vector without a signature entry, or a blade index outside a.
std::vector<double> geometric_product(std::span<const double> a, std::span<const double> b,
                                      std::span<const std::int8_t> signature);

// Pairwise products on the pool; as many results as the shorter batch has
// items. A fault aborts the whole batch with the fault of the lowest index.
std::vector<std::vector<double>> geometric_product_n(const std::vector<std::vector<double>>& a_batch,
                                                     const std::vector<std::vector<double>>& b_batch,
                                                     std::span<const std::int8_t> signature);

}  // namespace zor
