#include "engine/team.h"

#include <algorithm>
#include <exception>
#include <cstdlib>
#include <iterator>

namespace morfex::engine {

WorkerTeam::~WorkerTeam() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (const pthread_t helper : helpers_) pthread_join(helper, nullptr);
}

namespace {

// The C++ runtime keeps a thread's exception state in thread-local storage
// that the C library allocates with malloc on first use, ending the process
// when that fails. A helper makes it before its first task, so that a
// failure to allocate in a task can be thrown and reported; small blocks are
// taken and given back first, which leaves them in this thread's malloc
// cache for that allocation, or tells that memory is out. Returns false then.
bool make_exception_state() noexcept {
  constexpr std::size_t kSizes[] = {16, 32, 48, 64, 96, 128, 192, 256};
  void* blocks[std::size(kSizes)] = {};
  bool got = true;
  for (std::size_t k = 0; k < std::size(kSizes); ++k) {
    blocks[k] = std::malloc(kSizes[k]);
    got = got && blocks[k] != nullptr;
  }
  for (void* block : blocks) std::free(block);
  if (!got) return false;
  // Kept in a volatile: the call is declared pure and would be dropped unused.
  [[maybe_unused]] const volatile int uncaught = std::uncaught_exceptions();
  return true;
}

// A helper's stack: ample for its work, which does not recurse.
constexpr std::size_t kHelperStack = std::size_t{1} << 20;

}  // namespace

struct WorkerTeam::Start {
  WorkerTeam* team;
  std::size_t worker;
};

void* WorkerTeam::helper_main(void* start) noexcept {
  const Start own = *static_cast<const Start*>(start);  // the starter's copy goes away once told
  WorkerTeam& team = *own.team;
  const bool ready = make_exception_state();
  {
    std::lock_guard lock(team.mutex_);
    team.starting_ = ready ? Starting::kReady : Starting::kFailed;
  }
  team.started_.notify_one();
  if (ready) team.helper_loop(own.worker);
  return nullptr;
}

void WorkerTeam::start_helpers(std::size_t count) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return;
  pthread_attr_setstacksize(&attributes, kHelperStack);
  helpers_.reserve(count);
  while (helpers_.size() < count) {
    starting_ = Starting::kPending;
    Start start{this, helpers_.size() + 1};
    pthread_t helper;
    bool ready = pthread_create(&helper, &attributes, &WorkerTeam::helper_main, &start) == 0;
    if (ready) {
      std::unique_lock lock(mutex_);
      started_.wait(lock, [this] { return starting_ != Starting::kPending; });
      ready = starting_ == Starting::kReady;
      lock.unlock();
      if (ready) {
        helpers_.push_back(helper);
      } else {
        pthread_join(helper, nullptr);
      }
    }
    if (!ready) {
      // Out of threads or memory: the work still gets done by the ones there are.
      wanted_ = helpers_.size() + 1;
      break;
    }
  }
  pthread_attr_destroy(&attributes);
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
