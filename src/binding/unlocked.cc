#include "binding/unlocked.h"

#include <pthread.h>
#include <unistd.h>

#include <cxxabi.h>

namespace morfex::py {

void take_lock_back(PyThreadState* state) noexcept {
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    // The process is exiting: wait for it here, where nothing is held.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    for (;;) pause();
  }
}

}  // namespace morfex::py
