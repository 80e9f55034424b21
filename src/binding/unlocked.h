#pragma once

#include "binding/python.h"

namespace morfex::py {

// Takes the interpreter lock back for a thread that released it. While the
// interpreter finalizes, CPython 3.12 and 3.13 end a daemon thread that asks
// for the lock with pthread_exit, whose unwinding would run our destructors
// without the lock and end at a noexcept frame in std::terminate; such a
// thread is parked for good instead (as CPython 3.14 does itself) and goes
// away with the process.
void take_lock_back(PyThreadState* state) noexcept;

// Releases the interpreter lock for its lifetime; `locked` takes it back for
// the length of one call, also when that call throws.
class Unlocked {
 public:
  Unlocked() noexcept : state_(PyEval_SaveThread()) {}
  ~Unlocked() { take_lock_back(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  template <class Body>
  void locked(Body&& body) {
    take_lock_back(state_);
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
