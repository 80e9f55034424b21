#include "text/word_segmenter.h"

#include <atomic>

namespace morfex::text {

std::uint64_t new_serial() noexcept {
  // One counter for the process: names must differ across every engine and thread.
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace morfex::text
