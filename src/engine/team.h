#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <pthread.h>
#include <vector>

namespace morfex::engine {

// The threads of one call: the caller and up to size() - 1 helpers, started
// at the first run that wants them and joined when the team is destroyed.
// Nothing outlives the call, so a fork() can never inherit a half-held pool.
// Helpers get small stacks: their work does not recurse, and many helpers
// with the usual 8 MiB each would exhaust a limited address space.
class WorkerTeam {
 public:
  explicit WorkerTeam(std::size_t threads) noexcept : wanted_(threads == 0 ? 1 : threads) {}
  WorkerTeam(const WorkerTeam&) = delete;
  WorkerTeam& operator=(const WorkerTeam&) = delete;
  ~WorkerTeam();

  // Runs job(worker) for workers 0 to `workers` - 1 (capped at the team's
  // size), worker 0 on the calling thread, and returns when all have
  // finished; then rethrows the first exception any of them threw. Returns
  // the number of workers that ran.
  std::size_t run(std::size_t workers, const std::function<void(std::size_t)>& job);

  std::size_t size() const noexcept { return wanted_; }

 private:
  struct Start;
  static void* helper_main(void* start) noexcept;
  void start_helpers(std::size_t count);
  void helper_loop(std::size_t worker);

  std::size_t wanted_;
  std::vector<pthread_t> helpers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  // A helper being started tells whether it could make its thread's state.
  enum class Starting { kPending, kReady, kFailed };
  Starting starting_ = Starting::kPending;
  std::condition_variable started_;
  const std::function<void(std::size_t)>* job_ = nullptr;
  std::uint64_t generation_ = 0;
  std::size_t active_ = 0;  // helpers that take part in the current run
  std::size_t running_ = 0;  // of those, the ones not finished yet
  bool stopping_ = false;
  std::exception_ptr failure_;
};

}  // namespace morfex::engine
