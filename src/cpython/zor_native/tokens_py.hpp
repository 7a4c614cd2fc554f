// Postfix token lists from Python, shared by the entries of zor._native that
// take a formula: ("const", value), ("var", index), ("param", index, stored
// value) and ("op", name).
#pragma once

#include "core/discover/expr.hpp"
#include "cpython/common/convert_arguments.hpp"

namespace zor::py {

template <>
struct Converter<discover::Expr> {
  static bool convert(PyObject* obj, discover::Expr& out);
};

}  // namespace zor::py
