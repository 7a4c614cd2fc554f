// Random search problems and the comparison of two searches' candidates,
// shared by the tests that hold one search against another.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/discover/dimensions.hpp"
#include "core/discover/search.hpp"
#include "core/numeric.hpp"
#include "discover_tokens.hpp"

namespace zor::discover::problems {

using tokens::bits;
using tokens::kInf;
using tokens::kNaN;

struct Problem {
  Columns columns;
  std::vector<double> y;
  SearchOptions options;
  std::optional<DimensionRules> dimensions;  // the columns' units, when the search has them

  // A control that carries the problem's dimensions.
  SearchControl control() const {
    SearchControl c;
    c.dimensions = dimensions ? &*dimensions : nullptr;
    return c;
  }
};

class ProblemMaker {
 public:
  explicit ProblemMaker(std::uint64_t seed) : rng_(seed) {}

  Problem make() {
    Problem p;
    const std::size_t n_vars = pick<std::size_t>({1, 1, 2, 2, 3});
    const std::size_t rows = pick<std::size_t>({0, 1, 2, 3, 4, 5, 6, 8, 12, 20, 70, 150});
    const bool corners = chance(0.3);
    for (std::size_t k = 0; k < n_vars; ++k) {
      std::vector<double> column;
      const std::size_t extra = k > 0 && chance(0.2) ? 1 : 0;
      for (std::size_t i = 0; i < rows + extra; ++i) column.push_back(value(corners));
      p.columns.push_back(column);
    }
    if (chance(0.6)) {
      const int law = pick<int>({0, 1, 2, 3, 4, 5, 6});
      for (std::size_t i = 0; i < rows; ++i) {
        const double a = p.columns[0][i];
        const double b = p.columns[n_vars - 1][i];
        const double laws[] = {a * a, a + 1.0, std::exp(a), zor::zor(a, b), a - b, std::sin(a) * b, 1.0};
        p.y.push_back(laws[law] + pick<double>({0.0, 0.0, 1e-12, 1e-3}));
      }
      if (chance(0.2) && !p.y.empty()) p.y.pop_back();
      if (chance(0.2)) p.y.push_back(value(corners));
    } else {
      const std::size_t m = pick<std::size_t>({0, rows, rows, rows + 1});
      for (std::size_t i = 0; i < m; ++i) p.y.push_back(value(corners));
    }
    p.options.max_complexity = pick<std::uint64_t>({0, 1, 2, 3, 3, 4, 4, 4, 5, 5, 6});
    p.options.beam_width = pick<std::uint64_t>({0, 3, 4, 8, 40, 200, 2000});
    p.options.precision_goal = pick<double>({1e-10, 0.0, -1.0, 1e-3, kNaN});
    p.options.use_trig = chance(0.5);
    p.options.use_zor = chance(0.5);
    p.options.complexity_penalty = pick<double>({0.001, 0.0, 0.1, -0.01, -1.0});
    return p;
  }

  // A problem with units: one to three base dimensions, each column's
  // exponents small whole numbers or halves, often several columns alike
  // (and sometimes all dimensionless) so that sums and functions survive.
  Problem make_with_dimensions() {
    Problem p = make();
    const std::size_t bases = pick<std::size_t>({1, 2, 3});
    std::vector<std::vector<double>> exponents;
    for (std::size_t k = 0; k < p.columns.size(); ++k) {
      std::vector<double> column;
      for (std::size_t b = 0; b < bases; ++b)
        column.push_back(pick<double>({0.0, 0.0, 0.0, 1.0, -1.0, 0.5, 2.0}));
      if (k > 0 && chance(0.3)) column = exponents.front();
      exponents.push_back(column);
    }
    p.dimensions.emplace(exponents);
    return p;
  }

 private:
  template <class T>
  T pick(std::initializer_list<T> choices) {
    std::uniform_int_distribution<std::size_t> d(0, choices.size() - 1);
    return choices.begin()[d(rng_)];
  }
  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
  double value(bool corners) {
    if (corners && chance(0.3)) {
      return pick<double>({0.0, -0.0, kNaN, kInf, -kInf, 1e-301, -1e-300, 709.79, 710.0, 1e300, -800.0});
    }
    return std::uniform_real_distribution<double>(-3.0, 3.0)(rng_);
  }
  std::mt19937_64 rng_;
};

// Equal bits, except that every NaN matches every NaN: which operand's NaN
// an addition passes on is the compiler's choice, not the search's.
inline std::uint64_t canonical_bits(double v) { return std::isnan(v) ? bits(kNaN) : bits(v); }

inline void expect_same_candidate(const ScoredCandidate& fast, const ScoredCandidate& reference,
                                  const std::string& where) {
  EXPECT_EQ(fast.formula, reference.formula) << where;
  EXPECT_EQ(canonical_bits(fast.score), canonical_bits(reference.score)) << where;
  EXPECT_EQ(canonical_bits(fast.rmse), canonical_bits(reference.rmse)) << where;
  EXPECT_EQ(fast.complexity, reference.complexity) << where;
}

}  // namespace zor::discover::problems
