// The one way native work lets go of the interpreter lock.
#pragma once

#include "cpython/common/ref.hpp"

namespace zor::py {

// Releases the interpreter lock for the object's lifetime; with_lock takes it
// back for one piece of Python work on the same thread. Nothing inside the
// released stretch may touch a Python object outside with_lock. An exception
// leaving the scope takes the lock back on its way out, so the entry's
// guard translates it with the lock held.
class ReleasedLock {
 public:
  ReleasedLock() : state_(PyEval_SaveThread()) {}
  ~ReleasedLock() { PyEval_RestoreThread(state_); }
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;

  template <class Body>
  auto with_lock(Body&& body) {
    PyEval_RestoreThread(state_);
    struct Release {
      PyThreadState*& state;
      ~Release() { state = PyEval_SaveThread(); }
    } release{state_};
    return body();
  }

 private:
  PyThreadState* state_;
};

}  // namespace zor::py
