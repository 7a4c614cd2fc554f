// Exceptions raised at the boundary, and the guard that keeps every C++
// exception from crossing into the interpreter.
#pragma once

#include <exception>
#include <new>
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

// Runs body and turns any escaping C++ exception into a Python error:
// std::bad_alloc into MemoryError, everything else into PanicException.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown native fault");
  }
  return nullptr;
}

}  // namespace zor::py
