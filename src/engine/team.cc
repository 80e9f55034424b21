#include "engine/team.h"

#include <algorithm>
#include <system_error>

namespace morfex::engine {

WorkerTeam::~WorkerTeam() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
}

void WorkerTeam::start_helpers(std::size_t count) {
  while (helpers_.size() < count) {
    try {
      helpers_.emplace_back([this, worker = helpers_.size() + 1] { helper_loop(worker); });
    } catch (const std::system_error&) {
      // Out of threads: the work still gets done by the ones there are.
      wanted_ = helpers_.size() + 1;
      return;
    }
  }
}

std::size_t WorkerTeam::run(std::size_t workers, const std::function<void(std::size_t)>& job) {
  workers = std::clamp<std::size_t>(workers, 1, wanted_);
  if (workers > 1) start_helpers(workers - 1);
  workers = std::min(workers, helpers_.size() + 1);
  if (workers > 1) {
    std::lock_guard lock(mutex_);
    job_ = &job;
    active_ = running_ = workers - 1;
    failure_ = nullptr;
    ++generation_;
  }
  if (workers > 1) wake_.notify_all();
  std::exception_ptr own;
  try {
    job(0);
  } catch (...) {
    own = std::current_exception();
  }
  if (workers > 1) {
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [this] { return running_ == 0; });
    job_ = nullptr;
    if (!own) own = failure_;
  }
  if (own) std::rethrow_exception(own);
  return workers;
}

void WorkerTeam::helper_loop(std::size_t worker) {
  std::uint64_t seen = 0;
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
    if (stopping_) return;
    seen = generation_;
    if (worker > active_) continue;
    const std::function<void(std::size_t)>* job = job_;
    lock.unlock();
    std::exception_ptr failed;
    try {
      (*job)(worker);
    } catch (...) {
      failed = std::current_exception();
    }
    lock.lock();
    if (failed && !failure_) failure_ = failed;
    if (--running_ == 0) finished_.notify_one();
  }
}

}  // namespace morfex::engine
