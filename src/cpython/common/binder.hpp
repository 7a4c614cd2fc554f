// Binding of call arguments to named parameters, shared by every module
// function, method and constructor. Produces one borrowed object per
// parameter (null where an optional parameter was not given).
#pragma once

#include <array>
#include <cstddef>

#include "cpython/common/ref.hpp"

namespace zor::py {

inline constexpr std::size_t kMaxParams = 16;

// A callable's name as messages show it ("add_n", "ZORPoint.boost",
// "ZORKnot.__new__") and its parameter names in order.
struct Signature {
  const char* name;
  std::array<const char*, kMaxParams> params{};

  constexpr std::size_t count() const {
    std::size_t n = 0;
    while (n < kMaxParams && params[n] != nullptr) ++n;
    return n;
  }
};

// Vectorcall form: args[0..nargs) positional, then one value per name in
// kwnames. `slots` receives count() borrowed references.
bool bind_vector(const Signature& sig, std::size_t required, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** slots);

// Tuple-and-dict form, used by constructors.
bool bind_tuple(const Signature& sig, std::size_t required, PyObject* args, PyObject* kwargs,
                PyObject** slots);

// Re-raises a pending exact TypeError as "argument '{name}': {text}", keeping
// the original's cause; any other pending error is left as it is.
void name_argument_error(const char* name);

}  // namespace zor::py
