// Converters from Python objects to native values, one per native type.
// Each returns false with a Python error set when the object is refused.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/memory.hpp"
#include "core/values.hpp"
#include "cpython/common/errors.hpp"
#include "cpython/common/ref.hpp"

namespace zor::py {

using Octet = std::array<double, 8>;

template <class T>
struct Converter;

namespace detail {

// What a sequence's __len__ may make us reserve up front; a larger claim is
// only believed as the items actually arrive.
constexpr std::size_t kMaxTrustedReserve = std::size_t{1} << 22;

// How often a long conversion looks up from its loop: every this many items
// it lets a pending Ctrl-C through and makes sure the copy can still grow.
constexpr std::size_t kCheckEvery = std::size_t{1} << 20;

// False with an error set when a signal handler raised or when doubling the
// copy would take more memory than the machine has left.
template <class T>
bool can_keep_reading(const std::vector<T>& out) {
  if (PyErr_CheckSignals() != 0) return false;
  std::uint64_t needed = 2 * static_cast<std::uint64_t>(out.size()) * sizeof(T);
  if (needed > default_memory_limit()) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

}  // namespace detail

// The outer level of every list converter: refuses str and non-sequences,
// reserves what the sequence claims (within reason) and feeds each item,
// read by iteration, to `element` (bool(PyObject*, T&)).
template <class T, class Element>
bool convert_sequence(PyObject* obj, std::vector<T>& out, Element&& element) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_cannot_convert(obj, "Sequence");
    return false;
  }
  Py_ssize_t claimed = PySequence_Size(obj);
  if (claimed < 0) {
    PyErr_Clear();
    claimed = 0;
  }
  out.clear();
  std::size_t reserve = static_cast<std::size_t>(claimed);
  if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj) && reserve > detail::kMaxTrustedReserve)
    reserve = detail::kMaxTrustedReserve;
  out.reserve(reserve);

  if (PyList_CheckExact(obj)) {
    // Same semantics as the list iterator: the length is re-read at every
    // step, and each item is held while it converts.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
      T value{};
      if (!element(item.get(), value)) return false;
      out.push_back(std::move(value));
      if (out.size() % detail::kCheckEvery == 0 && !detail::can_keep_reading(out)) return false;
    }
    return true;
  }
  Ref iterator = Ref::steal(PyObject_GetIter(obj));
  if (!iterator) return false;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    T value{};
    if (!element(item.get(), value)) return false;
    out.push_back(std::move(value));
    if (out.size() % detail::kCheckEvery == 0 && !detail::can_keep_reading(out)) return false;
  }
  return !PyErr_Occurred();
}

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
// text: a str, as UTF-8.
bool convert_text(PyObject* obj, std::string& out);

// A Python callable, held by a strong reference.
struct Callable {
  Ref function;
};
bool convert_callable(PyObject* obj, Callable& out);

// A parameter that also takes None, which leaves `value` empty. As a trailing
// parameter it is optional, like std::optional.
template <class T>
struct NoneOr {
  std::optional<T> value;
};

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
template <>
struct Converter<std::string> {
  static bool convert(PyObject* obj, std::string& out) { return convert_text(obj, out); }
};
template <>
struct Converter<Callable> {
  static bool convert(PyObject* obj, Callable& out) { return convert_callable(obj, out); }
};
template <class T>
struct Converter<NoneOr<T>> {
  static bool convert(PyObject* obj, NoneOr<T>& out) {
    if (obj == Py_None) {
      out.value.reset();
      return true;
    }
    T value{};
    if (!Converter<T>::convert(obj, value)) return false;
    out.value = std::move(value);
    return true;
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
