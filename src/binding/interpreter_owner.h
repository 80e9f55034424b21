#pragma once

#include <atomic>
#include <cstdint>

// Types and exceptions of the native modules are kept in process-wide slots,
// which one interpreter's objects may not share with another's; so the first
// interpreter to initialise a module owns it for the life of the process.
// Plain C++ without the interpreter's header, so that it is tested alone.
namespace morfex::py {

class InterpreterOwner {
 public:
  static constexpr std::int64_t kNone = -1;

  // Whether the interpreter `id` owns the module: it did already, or nobody
  // did and it does from now on. Safe to call from several threads at once.
  bool claim(std::int64_t id) noexcept {
    std::int64_t expected = kNone;
    return owner_.compare_exchange_strong(expected, id) || expected == id;
  }

  std::int64_t owner() const noexcept { return owner_.load(); }

 private:
  // Init functions of several interpreters can run at once (each may hold its
  // own lock), hence the atomic.
  std::atomic<std::int64_t> owner_{kNone};
};

}  // namespace morfex::py
