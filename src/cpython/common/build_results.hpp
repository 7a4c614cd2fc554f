// Result builders: native results to new Python objects. Each returns a new
// reference, or null with a Python error set.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/values.hpp"
#include "cpython/common/ref.hpp"

namespace zor::py {

PyObject* build_float(double value);
PyObject* build_bool(bool value);
PyObject* build_int(std::int64_t value);
PyObject* build_uint(std::uint64_t value);
PyObject* build_str(std::string_view text);
PyObject* build_float_list(std::span<const double> values);
PyObject* build_pair_list(std::span<const Pair> pairs);
PyObject* build_triple_list(std::span<const std::array<double, 3>> triples);
PyObject* build_octet_list(std::span<const std::array<double, 8>> octets);
PyObject* build_float_lists(const std::vector<std::vector<double>>& lists);

}  // namespace zor::py
