#include "train/units.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace morfex::train {
namespace {

using Ids = std::vector<bpe::TokenId>;

struct MergeCase {
  const char* name;
  Ids before;
  bpe::TokenId left, right;
  Ids after;
  std::vector<PairKey> removed, added;
};

class UnitsMerge : public testing::TestWithParam<MergeCase> {};

TEST_P(UnitsMerge, ReplacesLeftmostOccurrencesAndReportsChangedPairs) {
  const MergeCase& c = GetParam();
  Units units;
  units.add(Ids{1}, 9);
  units.add(c.before, 3);
  ASSERT_EQ(units.size(), 1u);
  std::vector<PairKey> removed, added;
  units.merge(0, c.left, c.right, 50, [&](PairKey k) { removed.push_back(k); },
              [&](PairKey k) { added.push_back(k); });
  const auto symbols = units.symbols(0);
  EXPECT_EQ(Ids(symbols.begin(), symbols.end()), c.after);
  EXPECT_EQ(removed, c.removed);
  EXPECT_EQ(added, c.added);
  EXPECT_EQ(units.count(0), 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnitsMerge,
    testing::Values(
        MergeCase{"whole_unit", {1, 2}, 1, 2, {50}, {pair_key(1, 2)}, {}},
        MergeCase{"middle_pair", {3, 1, 2, 4}, 1, 2, {3, 50, 4},
                  {pair_key(3, 1), pair_key(1, 2), pair_key(2, 4)},
                  {pair_key(3, 50), pair_key(50, 4)}},
        MergeCase{"overlapping_run_of_three", {1, 1, 1}, 1, 1, {50, 1}, {pair_key(1, 1), pair_key(1, 1)}, {pair_key(50, 1)}},
        MergeCase{"overlapping_run_of_four", {1, 1, 1, 1}, 1, 1, {50, 50},
                  {pair_key(1, 1), pair_key(1, 1), pair_key(1, 1)}, {pair_key(50, 50)}},
        MergeCase{"repeated_pair_and_neighbour", {1, 2, 1, 2, 7, 7}, 1, 2, {50, 50, 7, 7},
                  {pair_key(1, 2), pair_key(2, 1), pair_key(1, 2), pair_key(2, 7)},
                  {pair_key(50, 50), pair_key(50, 7)}},
        MergeCase{"no_occurrence", {2, 1, 3}, 1, 2, {2, 1, 3}, {}, {}}),
    [](const testing::TestParamInfo<MergeCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace morfex::train
