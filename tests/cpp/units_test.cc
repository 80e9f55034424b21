#include "train/units.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace morfex::train {
namespace {

using Ids = std::vector<bpe::TokenId>;
using Pairs = std::map<PairKey, long long>;
using Located = std::set<std::pair<PairKey, Units::Position>>;

constexpr bpe::TokenId kMerged = 50;

// Plain model: leftmost non-overlapping replacement, and pair counts by recounting.
Ids naive_merge(const Ids& symbols, bpe::TokenId left, bpe::TokenId right) {
  Ids out;
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    if (i + 1 < symbols.size() && symbols[i] == left && symbols[i + 1] == right) {
      out.push_back(kMerged);
      ++i;
    } else {
      out.push_back(symbols[i]);
    }
  }
  return out;
}

Pairs naive_pairs(const Ids& symbols) {
  Pairs pairs;
  for (std::size_t i = 0; i + 1 < symbols.size(); ++i) ++pairs[pair_key(symbols[i], symbols[i + 1])];
  return pairs;
}

Located located_pairs(const Units& units) {
  Located located;
  units.for_each_pair([&](PairKey key, Units::Position at, Count) { located.emplace(key, at); });
  return located;
}

// Merges (left, right) at every position in order, as the trainer does, and
// checks the reported changes against a recount and the new positions.
void check_merge(const Ids& before, bpe::TokenId left, bpe::TokenId right) {
  Units units;
  units.add(Ids{1}, 9);
  units.add(before, 3);
  ASSERT_EQ(units.size(), 1u);
  Located known = located_pairs(units);
  Pairs change;
  int merges = 0;
  for (const auto& [key, at] : Located(known)) {
    if (key != pair_key(left, right)) continue;
    merges += units.merge_at(at, left, right, kMerged, [&](PairKey gone) { --change[gone]; },
                             [&](PairKey fresh, Units::Position fresh_at) {
                               ++change[fresh];
                               known.emplace(fresh, fresh_at);
                             });
  }
  const Ids after = naive_merge(before, left, right);
  EXPECT_EQ(units.symbols(0), after);
  EXPECT_EQ(merges, static_cast<int>(before.size() - after.size()));
  Pairs expected = naive_pairs(after);
  for (const auto& [key, n] : naive_pairs(before)) expected[key] -= n;
  std::erase_if(expected, [](const auto& entry) { return entry.second == 0; });
  std::erase_if(change, [](const auto& entry) { return entry.second == 0; });
  EXPECT_EQ(change, expected);
  for (const auto& located : located_pairs(units)) EXPECT_TRUE(known.contains(located));
  EXPECT_EQ(units.count(0), 3u);
}

struct MergeCase {
  const char* name;
  Ids before;
  bpe::TokenId left, right;
};

class UnitsMerge : public testing::TestWithParam<MergeCase> {};

TEST_P(UnitsMerge, MatchesLeftmostReplacementAndReportsEveryChange) {
  check_merge(GetParam().before, GetParam().left, GetParam().right);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnitsMerge,
    testing::Values(MergeCase{"whole_unit", {1, 2}, 1, 2},
                    MergeCase{"middle_pair", {3, 1, 2, 4}, 1, 2},
                    MergeCase{"overlapping_run_of_three", {1, 1, 1}, 1, 1},
                    MergeCase{"overlapping_run_of_four", {1, 1, 1, 1}, 1, 1},
                    MergeCase{"repeated_pair_and_neighbour", {1, 2, 1, 2, 7, 7}, 1, 2},
                    MergeCase{"no_occurrence", {2, 1, 3}, 1, 2}),
    [](const testing::TestParamInfo<MergeCase>& info) { return std::string(info.param.name); });

TEST(Units, LongRandomUnitsMergeLikeTheNaiveModel) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<bpe::TokenId> symbol(1, 3);
  for (int round = 0; round < 50; ++round) {
    Ids symbols(200 + round);
    for (auto& s : symbols) s = symbol(rng);
    check_merge(symbols, symbol(rng), symbol(rng));
  }
}

TEST(Units, MergeAtRefusesPositionsThatDoNotStartThePair) {
  Units units;
  units.add(Ids{1, 2, 1, 2}, 1);
  const auto ignore = [](auto&&...) {};
  EXPECT_FALSE(units.merge_at(1, 1, 2, kMerged, ignore, ignore));
  EXPECT_FALSE(units.merge_at(3, 2, 1, kMerged, ignore, ignore));  // the unit's last symbol
  EXPECT_TRUE(units.merge_at(0, 1, 2, kMerged, ignore, ignore));
  EXPECT_FALSE(units.merge_at(1, 2, 1, kMerged, ignore, ignore));  // absorbed by the merge
  EXPECT_EQ(units.symbols(0), (Ids{kMerged, 1, 2}));
}

}  // namespace
}  // namespace morfex::train
