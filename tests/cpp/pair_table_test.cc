#include "bpe/pair_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <utility>

namespace morfex::bpe {
namespace {

// Positions below and above the square array's edge, and the extremes.
TEST(PairTable, AgreesWithMapOnDenseAndExtremePositions) {
  std::mt19937 rng(5);
  PairTable table;
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::pair<std::uint32_t, std::uint32_t>> model;
  auto position = [&rng] {
    const std::uint32_t edges[] = {0, 1, 127, 128, 0xFFFFFFFEu};
    return rng() % 4 == 0 ? edges[rng() % 5] : static_cast<std::uint32_t>(rng() % 300);
  };
  auto expect_same = [&](std::uint32_t left, std::uint32_t right) {
    const PairTable::Merge found = table.merge_of(left, right);
    const auto expected = model.find({left, right});
    const std::pair<std::uint32_t, std::uint32_t> want =
        expected == model.end() ? std::make_pair(UINT32_MAX, UINT32_MAX) : expected->second;
    ASSERT_EQ(std::make_pair(found.rank, found.merged), want) << left << ", " << right;
  };
  for (int step = 0; step < 4000; ++step) {
    const std::uint32_t left = position();
    const std::uint32_t right = position();
    const PairTable::Merge merge{static_cast<std::uint32_t>(rng() % 1000), rng() % 2 ? UINT32_MAX : position()};
    table.insert_or_assign(left, right, merge);
    model[{left, right}] = {merge.rank, merge.merged};
    expect_same(position(), position());
  }
  for (std::uint32_t left = 120; left < 136; ++left) {
    for (std::uint32_t right = 0; right < 300; ++right) expect_same(left, right);
  }
}

TEST(PairTable, EmptyTableHasNoMerges) {
  const PairTable table;
  const PairTable::Merge merge = table.merge_of(0, 0);
  EXPECT_EQ(merge.rank, UINT32_MAX);
  EXPECT_EQ(merge.merged, UINT32_MAX);
}

}  // namespace
}  // namespace morfex::bpe
