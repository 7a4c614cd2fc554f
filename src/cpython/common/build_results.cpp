#include "cpython/common/build_results.hpp"

namespace zor::py {
namespace {

// A list of n items filled by position with make(i); lists are created at
// their final length.
template <class Make>
PyObject* build_list(std::size_t n, Make&& make) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

template <std::size_t N>
PyObject* build_float_tuple(const double (&values)[N]) {
  Ref tuple = Ref::steal(PyTuple_New(N));
  if (!tuple) return nullptr;
  for (std::size_t k = 0; k < N; ++k) {
    PyObject* item = PyFloat_FromDouble(values[k]);
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), item);
  }
  return tuple.release();
}

}  // namespace

PyObject* build_float(double value) { return PyFloat_FromDouble(value); }

PyObject* build_bool(bool value) { return PyBool_FromLong(value ? 1 : 0); }

PyObject* build_int(std::int64_t value) { return PyLong_FromLongLong(value); }

PyObject* build_uint(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* build_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
}

PyObject* build_float_list(std::span<const double> values) {
  return build_list(values.size(), [&](std::size_t i) { return PyFloat_FromDouble(values[i]); });
}

PyObject* build_pair_list(std::span<const Pair> pairs) {
  return build_list(pairs.size(), [&](std::size_t i) {
    const double values[2] = {pairs[i].real, pairs[i].imag};
    return build_float_tuple(values);
  });
}

PyObject* build_triple_list(std::span<const std::array<double, 3>> triples) {
  return build_list(triples.size(), [&](std::size_t i) {
    const double values[3] = {triples[i][0], triples[i][1], triples[i][2]};
    return build_float_tuple(values);
  });
}

PyObject* build_octet_list(std::span<const std::array<double, 8>> octets) {
  return build_list(octets.size(), [&](std::size_t i) { return build_float_list(octets[i]); });
}

PyObject* build_float_lists(const std::vector<std::vector<double>>& lists) {
  return build_list(lists.size(), [&](std::size_t i) { return build_float_list(lists[i]); });
}

}  // namespace zor::py
