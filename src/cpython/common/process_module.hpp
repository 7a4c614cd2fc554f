// ProcessModule: what every extension module of the project shares at
// import, one module object per process, created in the first interpreter
// that imports it.
#pragma once

#include <atomic>
#include <cstdint>

#include "cpython/common/ref.hpp"

namespace zor::py {

class ProcessModule {
 public:
  // `name` is the module's import name as messages show it.
  explicit constexpr ProcessModule(const char* name) : name_(name) {}

  // The module object: created from `def` and filled by `fill` on the first
  // import, the cached object afterwards. Another interpreter gets
  // ImportError. A new reference, or null with an error set.
  PyObject* import(PyModuleDef& def, bool (*fill)(PyObject* module));

 private:
  const char* name_;
  std::atomic<std::int64_t> owning_interpreter_{-1};
  PyObject* cached_ = nullptr;  // strong reference, touched only under the GIL
};

}  // namespace zor::py
