#include "train/pair_queue.h"

#include <gtest/gtest.h>

#include <map>

namespace morfex::train {
namespace {

TEST(PairQueue, OrdersByCountThenLeftThenRight) {
  PairQueue queue;
  std::map<PairKey, Count> live{{pair_key(7, 1), 5}, {pair_key(2, 9), 5}, {pair_key(2, 3), 5},
                                {pair_key(1, 1), 4}, {pair_key(9, 9), 6}};
  for (const auto& [key, count] : live) queue.push(count, key);
  const auto count_of = [&](PairKey key) { return live[key]; };
  std::vector<PairKey> order;
  while (const auto best = queue.pop_best(count_of)) {
    order.push_back(best->key);
    live[best->key] = 0;
  }
  EXPECT_EQ(order, (std::vector<PairKey>{pair_key(9, 9), pair_key(2, 3), pair_key(2, 9),
                                         pair_key(7, 1), pair_key(1, 1)}));
}

TEST(PairQueue, RechecksStaleEntriesAgainstLiveCounts) {
  PairQueue queue;
  std::map<PairKey, Count> live{{pair_key(1, 2), 10}, {pair_key(3, 4), 8}, {pair_key(5, 6), 1}};
  for (const auto& [key, count] : live) queue.push(count, key);
  live[pair_key(1, 2)] = 3;   // fell below (3,4): must come after it
  live[pair_key(5, 6)] = 20;  // grew: pushed again, as the trainer does
  queue.push(20, pair_key(5, 6));
  const auto count_of = [&](PairKey key) { return live[key]; };
  std::vector<RankedPair> popped;
  while (const auto best = queue.pop_best(count_of)) {
    popped.push_back(*best);
    live[best->key] = 0;
  }
  ASSERT_EQ(popped.size(), 3u);
  EXPECT_EQ(popped[0].key, pair_key(5, 6));
  EXPECT_EQ(popped[0].count, 20u);
  EXPECT_EQ(popped[1].key, pair_key(3, 4));
  EXPECT_EQ(popped[2].key, pair_key(1, 2));
  EXPECT_EQ(popped[2].count, 3u);
}

}  // namespace
}  // namespace morfex::train
