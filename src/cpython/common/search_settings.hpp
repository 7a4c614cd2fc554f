// What the discovery entries (zor_core.find_formula and zor._native's search
// and shard_open) share at the boundary: the check of the columns and of
// their dimensions, and the conversion of a settings object into the core's
// SearchOptions.
#pragma once

#include <optional>
#include <string>

#include "core/discover/dimensions.hpp"
#include "core/discover/search.hpp"
#include "cpython/common/convert_arguments.hpp"

namespace zor::py {

// False with ValueError set when the columns cannot be searched.
inline bool check_search_columns(const discover::Columns& columns) {
  if (std::optional<std::string> problem = discover::validate_columns(columns)) {
    PyErr_SetString(PyExc_ValueError, problem->c_str());
    return false;
  }
  return true;
}

// The rules of the columns' dimensions, when given, into `rules`; false with
// ValueError set when they do not fit the columns.
inline bool read_dimensions(const std::optional<discover::Columns>& exponents, std::size_t columns,
                            std::optional<discover::DimensionRules>& rules) {
  if (!exponents) return true;
  if (std::optional<std::string> problem = discover::DimensionRules::problem(*exponents, columns)) {
    PyErr_SetString(PyExc_ValueError, problem->c_str());
    return false;
  }
  rules.emplace(*exponents);
  return true;
}

// The search's settings from one object, read row by row of
// ZOR_SEARCH_OPTIONS by the row's name: from a Mapping its item, from any
// other object its attribute. A setting that is absent or None keeps its
// default, and None itself stands for every default. A Mapping key that
// names no setting is refused (ValueError); an object's other attributes are
// not looked at; a number, string or sequence is refused (TypeError). A value
// that does not convert raises what the setting's type converter raises, its
// message naming the setting.
template <>
struct Converter<discover::SearchOptions> {
  static constexpr bool kNamesValueErrors = true;
  static bool convert(PyObject* obj, discover::SearchOptions& out);
};

}  // namespace zor::py
