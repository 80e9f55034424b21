#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "bpe/vocabulary.h"
#include "train/corpus.h"

namespace morfex::train {

using PairKey = std::uint64_t;

inline PairKey pair_key(bpe::TokenId left, bpe::TokenId right) noexcept {
  return (static_cast<PairKey>(left) << 32) | right;
}
inline bpe::TokenId pair_left(PairKey key) noexcept { return static_cast<bpe::TokenId>(key >> 32); }
inline bpe::TokenId pair_right(PairKey key) noexcept { return static_cast<bpe::TokenId>(key); }

struct RankedPair {
  Count count;
  PairKey key;
};

// Max-heap of pairs by count; on equal counts the smaller left id, then the
// smaller right id comes first. Entries go stale as counts change: the caller
// pushes a pair again whenever its count grows, and `pop_best` re-checks each
// entry against the live count, so one heap serves the whole training run.
class PairQueue {
 public:
  void push(Count count, PairKey key);

  // The best pair whose live count (from `count_of`) is positive, or nothing.
  template <class CountOf>
  std::optional<RankedPair> pop_best(CountOf&& count_of) {
    while (!heap_.empty()) {
      const RankedPair top = pop();
      const Count live = count_of(top.key);
      if (live == top.count) return top;
      // Higher than live: the count fell since; lower: a fresher entry exists.
      if (live > 0 && live < top.count) push(live, top.key);
    }
    return std::nullopt;
  }

 private:
  RankedPair pop();

  std::vector<RankedPair> heap_;
};

}  // namespace morfex::train
