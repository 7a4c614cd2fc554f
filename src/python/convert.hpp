// Converters from Python objects to native values, one per native type.
// Each returns false with a Python error set when the object is refused.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/values.hpp"
#include "python/ref.hpp"

namespace zor::py {

using Octet = std::array<double, 8>;

template <class T>
struct Converter;

// float: exact floats directly, everything else through __float__/__index__.
bool convert_float(PyObject* obj, double& out);
// index: a non-negative integer that fits in 64 bits.
bool convert_index(PyObject* obj, std::uint64_t& out);
bool convert_int64(PyObject* obj, std::int64_t& out);
bool convert_small_int(PyObject* obj, std::int8_t& out);
// flag: a real bool or a NumPy bool.
bool convert_flag(PyObject* obj, bool& out);
bool convert_float_list(PyObject* obj, std::vector<double>& out);
bool convert_pair_list(PyObject* obj, std::vector<Pair>& out);
bool convert_octet_list(PyObject* obj, std::vector<Octet>& out);
bool convert_float_lists(PyObject* obj, std::vector<std::vector<double>>& out);
bool convert_small_int_list(PyObject* obj, std::vector<std::int8_t>& out);

template <>
struct Converter<double> {
  static bool convert(PyObject* obj, double& out) { return convert_float(obj, out); }
};
template <>
struct Converter<std::uint64_t> {
  static bool convert(PyObject* obj, std::uint64_t& out) { return convert_index(obj, out); }
};
template <>
struct Converter<std::int64_t> {
  static bool convert(PyObject* obj, std::int64_t& out) { return convert_int64(obj, out); }
};
template <>
struct Converter<std::int8_t> {
  static bool convert(PyObject* obj, std::int8_t& out) { return convert_small_int(obj, out); }
};
template <>
struct Converter<bool> {
  static bool convert(PyObject* obj, bool& out) { return convert_flag(obj, out); }
};
template <>
struct Converter<std::vector<double>> {
  static bool convert(PyObject* obj, std::vector<double>& out) { return convert_float_list(obj, out); }
};
// A list of 2-tuples (a lone zor::Pair parameter is a ZORPair instance instead).
template <>
struct Converter<std::vector<Pair>> {
  static bool convert(PyObject* obj, std::vector<Pair>& out) { return convert_pair_list(obj, out); }
};
template <>
struct Converter<std::vector<Octet>> {
  static bool convert(PyObject* obj, std::vector<Octet>& out) { return convert_octet_list(obj, out); }
};
template <>
struct Converter<std::vector<std::vector<double>>> {
  static bool convert(PyObject* obj, std::vector<std::vector<double>>& out) {
    return convert_float_lists(obj, out);
  }
};
template <>
struct Converter<std::vector<std::int8_t>> {
  static bool convert(PyObject* obj, std::vector<std::int8_t>& out) {
    return convert_small_int_list(obj, out);
  }
};
// An optional parameter keeps its default (nullopt) when it was not given.
template <class T>
struct Converter<std::optional<T>> {
  static bool convert(PyObject* obj, std::optional<T>& out) {
    T value{};
    if (!Converter<T>::convert(obj, value)) return false;
    out = std::move(value);
    return true;
  }
};

}  // namespace zor::py
