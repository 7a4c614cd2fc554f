// ZORPoint, ZORPair and ZORKnot: the Python classes over the native value
// types of core/values.hpp.
#pragma once

#include "core/values.hpp"
#include "cpython/common/wrapped_class.hpp"

namespace zor::py {

template <>
struct ClassTraits<Point> {
  static constexpr const char* name = "ZORPoint";
  static PyType_Spec* type_spec();
};

template <>
struct ClassTraits<Pair> {
  static constexpr const char* name = "ZORPair";
  static PyType_Spec* type_spec();
};

template <>
struct ClassTraits<Knot> {
  static constexpr const char* name = "ZORKnot";
  static PyType_Spec* type_spec();
};

}  // namespace zor::py
