// What the two discovery entries (zor_core.find_formula and zor._native's
// search) share at the boundary: the check of the columns and the six
// search settings, each left out keeping its default.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/discover/search.hpp"
#include "cpython/common/ref.hpp"

namespace zor::py {

// False with ValueError set when the columns cannot be searched.
inline bool check_search_columns(const discover::Columns& columns) {
  if (std::optional<std::string> problem = discover::validate_columns(columns)) {
    PyErr_SetString(PyExc_ValueError, problem->c_str());
    return false;
  }
  return true;
}

inline discover::SearchOptions search_options(std::optional<std::uint64_t> max_complexity,
                                              std::optional<std::uint64_t> beam_width,
                                              std::optional<double> precision_goal,
                                              std::optional<bool> use_trig, std::optional<bool> use_zor,
                                              std::optional<double> complexity_penalty) {
  discover::SearchOptions options;
  options.max_complexity = max_complexity.value_or(options.max_complexity);
  options.beam_width = beam_width.value_or(options.beam_width);
  options.precision_goal = precision_goal.value_or(options.precision_goal);
  options.use_trig = use_trig.value_or(options.use_trig);
  options.use_zor = use_zor.value_or(options.use_zor);
  options.complexity_penalty = complexity_penalty.value_or(options.complexity_penalty);
  return options;
}

}  // namespace zor::py
