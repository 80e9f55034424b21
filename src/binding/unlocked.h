#pragma once

#include "binding/python.h"

namespace morfex::py {

// Releases the interpreter lock for its lifetime; `locked` takes it back for
// the length of one call, also when that call throws.
class Unlocked {
 public:
  Unlocked() noexcept : state_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  template <class Body>
  void locked(Body&& body) {
    PyEval_RestoreThread(state_);
    struct Relock {
      PyThreadState*& state;
      ~Relock() { state = PyEval_SaveThread(); }
    } relock{state_};
    body();
  }

 private:
  PyThreadState* state_;
};

}  // namespace morfex::py
