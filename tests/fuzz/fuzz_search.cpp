// The search on tiny random data and settings, now and then with units,
// against the reference search: the best candidate must agree in formula,
// score bits and complexity.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/discover/dimensions.hpp"
#include "core/discover/search.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace zor::discover;

// Half the time small multiples of 1/8: exact values with frequent ties.
double pick_sample(FuzzedDataProvider& input) {
  if (input.ConsumeBool()) return input.ConsumeIntegralInRange<int>(-24, 24) / 8.0;
  return pick_double(input);
}

SearchOptions pick_options(FuzzedDataProvider& input) {
  static constexpr double kGoals[] = {1e-10, 0.0, -1.0, 0.5, 1e300, std::numeric_limits<double>::quiet_NaN()};
  static constexpr double kPenalties[] = {0.001, 0.0,   1.0,
                                          -0.5,  1e-12, std::numeric_limits<double>::infinity()};
  SearchOptions options;
  options.max_complexity = input.ConsumeIntegralInRange<std::uint64_t>(0, 5);
  options.beam_width = input.ConsumeIntegralInRange<std::uint64_t>(0, 48);
  options.precision_goal = input.PickValueInArray(kGoals);
  options.use_trig = input.ConsumeBool();
  options.use_zor = input.ConsumeBool();
  options.complexity_penalty = input.PickValueInArray(kPenalties);
  return options;
}

struct Run {
  SearchOutcome outcome;
  std::string error;  // what() of a refusal, empty when the search ran
};

template <class Search>
Run run(Search search) {
  Run result;
  try {
    result.outcome = search();
  } catch (const std::invalid_argument& refused) {
    result.error = refused.what();
  }
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const SearchOptions options = pick_options(input);
  const std::size_t rows = input.ConsumeIntegralInRange<std::size_t>(0, 6);
  Columns columns(input.ConsumeIntegralInRange<std::size_t>(0, 3));
  for (std::vector<double>& column : columns) {
    // Now and then a column of another length than the first.
    const std::size_t length =
        input.ConsumeIntegralInRange<int>(0, 7) == 0 ? input.ConsumeIntegralInRange<std::size_t>(0, 7) : rows;
    for (std::size_t i = 0; i < length; ++i) column.push_back(pick_sample(input));
  }
  std::vector<double> y;
  const std::size_t targets = input.ConsumeBool() ? rows : input.ConsumeIntegralInRange<std::size_t>(0, 7);
  for (std::size_t i = 0; i < targets; ++i) y.push_back(pick_sample(input));

  // Units for every column: one or two base dimensions, exponents whole or halves.
  std::optional<DimensionRules> rules;
  SearchControl control;
  if (input.ConsumeBool()) {
    static constexpr double kExponents[] = {0.0, 0.0, 1.0, -1.0, 0.5, 2.0};
    const std::size_t bases = input.ConsumeIntegralInRange<std::size_t>(1, 2);
    std::vector<std::vector<double>> exponents(columns.size());
    for (std::vector<double>& column : exponents)
      for (std::size_t b = 0; b < bases; ++b) column.push_back(input.PickValueInArray(kExponents));
    rules.emplace(exponents);
    control.dimensions = &*rules;
  }
  const Run fast = run([&] { return beam_search(columns, y, options, control); });
  const Run reference = run([&] { return reference_beam_search(columns, y, options, control); });

  require(fast.error == reference.error, "the searches refuse different inputs");
  const auto& a = fast.outcome.best;
  const auto& b = reference.outcome.best;
  require(a.has_value() == b.has_value(), "only one search found a formula");
  if (!a) return 0;
  require(a->formula == b->formula, "the searches chose different formulas");
  require(std::bit_cast<std::uint64_t>(a->score) == std::bit_cast<std::uint64_t>(b->score),
          "the best scores differ in their bits");
  require(a->complexity == b->complexity, "the best complexities differ");
  return 0;
}
