#include "binding/unlocked.h"

#include <pthread.h>
#include <unistd.h>

namespace morfex::py {

void take_lock_back(PyThreadState* state) noexcept {
  try {
    PyEval_RestoreThread(state);
  } catch (...) {
    // Only pthread_exit's forced unwind (abi::__forced_unwind, caught here
    // without binding it) comes out of this C call: the process is exiting,
    // so the thread waits for it here, where nothing is held.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    for (;;) pause();
  }
}

}  // namespace morfex::py
