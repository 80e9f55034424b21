#include "bpe/core_bpe.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "test_model.h"

namespace morfex::bpe {
namespace {

using testing_support::record_of;
using testing_support::VocabList;

constexpr TokenId kMaxId = 4294967295u;

TEST(CoreBPEBuild, EmptyVocabAndMergesGiveEmptyTablesAndUnkOne) {
  const CoreBPE bpe = record_of({});
  EXPECT_TRUE(bpe.token_to_id.empty());
  EXPECT_TRUE(bpe.merge_ranks.empty());
  for (TokenId id : {0u, 1u, 2u, 3u, kMaxId}) EXPECT_FALSE(bpe.special_ids.contains(id)) << id;
  EXPECT_EQ(bpe.unk_id, 1u);
}

struct SpecialCase {
  const char* name;
  VocabList vocab;
  TokenId unk_id;
  std::vector<TokenId> special;
  std::vector<TokenId> plain;
};

class SpecialIdsTest : public testing::TestWithParam<SpecialCase> {};

TEST_P(SpecialIdsTest, FollowTheExactSpecialStrings) {
  const SpecialCase& c = GetParam();
  const CoreBPE bpe = record_of(c.vocab);
  EXPECT_EQ(bpe.unk_id, c.unk_id);
  for (TokenId id : c.special) EXPECT_TRUE(bpe.special_ids.contains(id)) << id;
  for (TokenId id : c.plain) EXPECT_FALSE(bpe.special_ids.contains(id)) << id;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SpecialIdsTest,
    testing::Values(
        SpecialCase{"no_unk_id_one_free", {{"a", 0}, {"b", 2}}, 1, {}, {0, 1, 2}},
        SpecialCase{"no_unk_id_one_taken", {{"a", 1}, {"b", 2}}, 1, {}, {1, 2}},
        SpecialCase{"no_unk_id_one_is_pad", {{"<pad>", 1}}, 1, {1}, {0}},
        SpecialCase{"no_unk_upper_case_variant", {{"<UNK>", 9}}, 1, {}, {1, 9}},
        SpecialCase{"unk_at_seven", {{"<unk>", 7}, {"a", 1}}, 7, {7}, {1}},
        SpecialCase{"unk_at_zero", {{"<unk>", 0}}, 0, {0}, {1}},
        SpecialCase{"unk_at_max", {{"<unk>", kMaxId}}, kMaxId, {kMaxId}, {0, 1}},
        SpecialCase{"near_misses_are_plain",
                    {{"<PAD>", 10}, {" <unk>", 11}, {"<s> ", 12}, {"</S>", 13}, {"<s>\t", 14}, {"pad", 15},
                     {"<\xE2\x96\x81s>", 16}},
                    1, {}, {10, 11, 12, 13, 14, 15, 16, 1}},
        SpecialCase{"all_four", {{"<pad>", 0}, {"<unk>", 100}, {"<s>", kMaxId}, {"</s>", 3}, {"a", 4}}, 100,
                    {0, 100, kMaxId, 3}, {1, 4}},
        SpecialCase{"shared_ids", {{"<pad>", 5}, {"<unk>", 5}, {"<s>", 6}, {"</s>", 5}}, 5, {5, 6}, {0, 1, 7}},
        SpecialCase{"only_those_present", {{"</s>", 0}, {"x", 2}}, 1, {0}, {1, 2}}),
    [](const testing::TestParamInfo<SpecialCase>& info) { return std::string(info.param.name); });

struct RankCase {
  const char* name;
  MergeList merges;
  std::map<std::string, Rank> ranks;
};

class MergeRanksTest : public testing::TestWithParam<RankCase> {};

// Keys are left, TAB, right, unescaped and unvalidated; a repeated key keeps
// its latest rank, whichever pair spelled it.
TEST_P(MergeRanksTest, KeyEveryPairAndKeepTheLatestRank) {
  const RankCase& c = GetParam();
  const CoreBPE bpe = record_of({{"a", 0}}, c.merges);
  EXPECT_EQ(bpe.merge_ranks.size(), c.ranks.size());
  for (const auto& [key, rank] : c.ranks) {
    const Rank* found = bpe.merge_ranks.get(key);
    ASSERT_NE(found, nullptr) << testing::PrintToString(key);
    EXPECT_EQ(*found, rank) << testing::PrintToString(key);
  }
  // Merge tables never grow the vocabulary.
  EXPECT_EQ(bpe.token_to_id.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MergeRanksTest,
    testing::Values(
        RankCase{"repeated_pair_takes_last_rank",
                 {{"a", "b"}, {"c", "d"}, {"e", "f"}, {"g", "h"}, {"i", "j"}, {"a", "b"}},
                 {{"a\tb", 5}, {"c\td", 1}, {"e\tf", 2}, {"g\th", 3}, {"i\tj", 4}}},
        RankCase{"colliding_keys_keep_later_rank", {{"x\ty", "z"}, {"x", "y\tz"}}, {{"x\ty\tz", 1}}},
        RankCase{"later_wins_not_better_fit",
                 {{"x", "y\tz"}, {"q", "r"}, {"x\ty", "z"}, {"", "\t"}, {"\t", ""}},
                 {{"x\ty\tz", 2}, {"q\tr", 1}, {"\t\t", 4}}},
        RankCase{"unvalidated_pairs_are_stored",
                 {{"q", "r"},
                  {"\xE2\x96\x81", "a"},
                  {"a", "\xE2\x96\x81"},
                  {"", "a"},
                  {"a", ""},
                  {"", ""},
                  {"\xF0\x9F\x98\x80", "b"}},
                 {{"q\tr", 0},
                  {"\xE2\x96\x81\ta", 1},
                  {"a\t\xE2\x96\x81", 2},
                  {"\ta", 3},
                  {"a\t", 4},
                  {"\t", 5},
                  {"\xF0\x9F\x98\x80\tb", 6}}}),
    [](const testing::TestParamInfo<RankCase>& info) { return std::string(info.param.name); });

TEST(CoreBPEBuild, ExtremeAndSharedIdsAreStoredUnchanged) {
  const CoreBPE bpe = record_of({{"zero", 0}, {"max", kMaxId}, {"gap", 2000000000u}, {"", 3}, {"a", 7}, {"b", 7}});
  const std::map<std::string, TokenId> expected = {{"zero", 0}, {"max", kMaxId}, {"gap", 2000000000u},
                                                   {"", 3},     {"a", 7},        {"b", 7}};
  EXPECT_EQ(bpe.token_to_id.size(), expected.size());
  for (const auto& [token, id] : expected) {
    const TokenId* found = bpe.token_to_id.get(token);
    ASSERT_NE(found, nullptr) << token;
    EXPECT_EQ(*found, id) << token;
  }
}

}  // namespace
}  // namespace morfex::bpe
