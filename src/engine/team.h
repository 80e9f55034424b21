#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace morfex::engine {

// The threads of one call: the caller and up to size() - 1 helpers, started
// at the first run that wants them and joined when the team is destroyed.
// Nothing outlives the call, so a fork() can never inherit a half-held pool.
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
  void start_helpers(std::size_t count);
  void helper_loop(std::size_t worker);

  std::size_t wanted_;
  std::vector<std::thread> helpers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  const std::function<void(std::size_t)>* job_ = nullptr;
  std::uint64_t generation_ = 0;
  std::size_t active_ = 0;  // helpers that take part in the current run
  std::size_t running_ = 0;  // of those, the ones not finished yet
  bool stopping_ = false;
  std::exception_ptr failure_;
};

}  // namespace morfex::engine
