#include "train/pair_queue.h"

#include <algorithm>

namespace morfex::train {

namespace {

// "Less" for std's max-heap: x ranks below y.
bool ranks_below(const RankedPair& x, const RankedPair& y) noexcept {
  if (x.count != y.count) return x.count < y.count;
  return x.key > y.key;
}

}  // namespace

void PairQueue::push(Count count, PairKey key) {
  heap_.push_back({count, key});
  std::push_heap(heap_.begin(), heap_.end(), ranks_below);
}

RankedPair PairQueue::pop() {
  std::pop_heap(heap_.begin(), heap_.end(), ranks_below);
  const RankedPair top = heap_.back();
  heap_.pop_back();
  return top;
}

}  // namespace morfex::train
