// Exceptions raised at the boundary, and the guard that keeps every C++
// exception from crossing into the interpreter.
#pragma once

#include <string>

#include "cpython/common/ref.hpp"

namespace zor::py {

// The module's PanicException, derived from BaseException; created on first
// use. Returns a borrowed reference, or null with an error set.
PyObject* panic_exception_type();

// Names the PanicException of the extension module this code is linked into
// ("zor_core.PanicException" unless changed); takes effect only before the
// type's first use. Both strings must live for the whole process.
void name_panic_exception(const char* qualified_name, const char* doc);

// Sets PanicException(message) as the current error.
void raise_panic(const char* message);

// Sets "'{qualname of type(obj)}' object cannot be converted to '{target}'".
void raise_cannot_convert(PyObject* obj, const char* target);

// The qualified name of obj's type, e.g. "int" or "ZORPoint".
std::string type_qualname(PyObject* obj);

// Sets the Python error for the C++ exception being handled; called only
// from a catch block. The one translation of native failures:
//   discover::Cancelled            the Python error that asked for it, which
//                                  is pending (SystemError if none is)
//   discover::SearchMemoryExceeded MemoryError with its message
//   std::bad_alloc                 MemoryError
//   std::invalid_argument          ValueError with its message
//   anything else                  PanicException with its message
void raise_current_exception() noexcept;

// Runs body and turns any escaping C++ exception into a Python error.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_exception();
  }
  return nullptr;
}

}  // namespace zor::py
