#include "bpe/core_bpe.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "bpe/decoder.h"
#include "bpe/model.h"

namespace morfex::bpe {
namespace {

constexpr TokenId kMaxId = 4294967295u;

Model build(std::initializer_list<std::pair<const std::string, TokenId>> vocab,
              MergeList merges = {}) {
  return Model::build(TokenToId(vocab), std::move(merges));
}

std::string decode_one(const Model& bpe, TokenId id) { return decode(bpe, std::vector<TokenId>{id}); }

// Every id of the vocabulary decodes to one of the tokens that have that id.
void expect_ids_decode_to_their_tokens(const Model& bpe) {
  for (const auto& [token, id] : bpe.record.token_to_id) {
    const std::string decoded = decode_one(bpe, id);
    auto it = bpe.record.token_to_id.find(decoded);
    ASSERT_NE(it, bpe.record.token_to_id.end()) << decoded;
    EXPECT_EQ(it->second, id) << decoded;
  }
}

std::uint32_t rank_of(const Model& bpe, const std::string& key) {
  auto it = bpe.record.merge_ranks.find(key);
  EXPECT_NE(it, bpe.record.merge_ranks.end()) << "no rank for key";
  return it == bpe.record.merge_ranks.end() ? kNoRank : it->second;
}

TEST(CoreBPEBuild, EmptyVocabAndMergesGiveEmptyTablesAndUnkOne) {
  const Model bpe = build({});
  EXPECT_TRUE(bpe.record.token_to_id.empty());
  EXPECT_EQ(decode_one(bpe, 0), "");
  EXPECT_TRUE(bpe.record.merge_ranks.empty());
  EXPECT_TRUE(bpe.record.special_ids.empty());
  EXPECT_EQ(bpe.record.unk_id, 1u);
}

struct UnkCase {
  const char* what;
  std::vector<std::pair<std::string, TokenId>> vocab;
  TokenId unk_id;
  bool unk_is_special;
};

class UnkIdTest : public testing::TestWithParam<UnkCase> {};

TEST_P(UnkIdTest, UnkIdFollowsVocabulary) {
  const UnkCase& c = GetParam();
  const Model bpe = Model::build(TokenToId(c.vocab.begin(), c.vocab.end()), {});
  EXPECT_EQ(bpe.record.unk_id, c.unk_id);
  EXPECT_EQ(bpe.record.special_ids.contains(c.unk_id), c.unk_is_special);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnkIdTest,
    testing::Values(
        UnkCase{"no_unk_id_one_free", {{"a", 0}, {"b", 2}}, 1, false},
        UnkCase{"no_unk_id_one_taken", {{"a", 1}, {"b", 2}}, 1, false},
        UnkCase{"no_unk_id_one_is_pad", {{"<pad>", 1}}, 1, true},
        UnkCase{"no_unk_upper_case_variant", {{"<UNK>", 9}}, 1, false},
        UnkCase{"unk_at_seven", {{"<unk>", 7}, {"a", 1}}, 7, true},
        UnkCase{"unk_at_zero", {{"<unk>", 0}}, 0, true},
        UnkCase{"unk_at_max", {{"<unk>", kMaxId}}, kMaxId, true}),
    [](const testing::TestParamInfo<UnkCase>& info) { return std::string(info.param.what); });

TEST(CoreBPEBuild, OnlyExactSpecialStringsAreSpecial) {
  const Model bpe = build({{"<PAD>", 10},
                             {" <unk>", 11},
                             {"<s> ", 12},
                             {"</S>", 13},
                             {"<s>\t", 14},
                             {"pad", 15},
                             {"<\xE2\x96\x81s>", 16}});
  EXPECT_TRUE(bpe.record.special_ids.empty());
  EXPECT_EQ(bpe.record.unk_id, 1u);
}

TEST(CoreBPEBuild, AllFourSpecialsPresent) {
  const Model bpe = build({{"<pad>", 0}, {"<unk>", 100}, {"<s>", kMaxId}, {"</s>", 3}, {"a", 4}});
  EXPECT_EQ(bpe.record.special_ids.size(), 4u);
  for (TokenId id : {0u, 100u, kMaxId, 3u}) EXPECT_TRUE(bpe.record.special_ids.contains(id)) << id;
  EXPECT_FALSE(bpe.record.special_ids.contains(4));
  EXPECT_FALSE(bpe.record.special_ids.contains(1));
  EXPECT_EQ(bpe.record.unk_id, 100u);
}

TEST(CoreBPEBuild, SpecialsSharingAnIdAreCountedOnce) {
  const Model bpe = build({{"<pad>", 5}, {"<unk>", 5}, {"<s>", 6}, {"</s>", 5}});
  EXPECT_EQ(bpe.record.special_ids.size(), 2u);
  EXPECT_TRUE(bpe.record.special_ids.contains(5));
  EXPECT_TRUE(bpe.record.special_ids.contains(6));
  EXPECT_EQ(bpe.record.unk_id, 5u);
}

TEST(CoreBPEBuild, PartialSpecialsOnlyAddThosePresent) {
  const Model bpe = build({{"</s>", 0}, {"x", 2}});
  EXPECT_EQ(bpe.record.special_ids.size(), 1u);
  EXPECT_TRUE(bpe.record.special_ids.contains(0));
  EXPECT_FALSE(bpe.record.special_ids.contains(2));
  EXPECT_EQ(bpe.record.unk_id, 1u);
}

TEST(CoreBPEBuild, RepeatedPairTakesLastRank) {
  const Model bpe = build({}, {{"a", "b"}, {"c", "d"}, {"e", "f"}, {"g", "h"}, {"i", "j"}, {"a", "b"}});
  EXPECT_EQ(bpe.record.merge_ranks.size(), 5u);
  EXPECT_EQ(rank_of(bpe, "a\tb"), 5u);
  EXPECT_EQ(rank_of(bpe, "c\td"), 1u);
  EXPECT_EQ(rank_of(bpe, "i\tj"), 4u);
}

TEST(CoreBPEBuild, CollidingTabJoinedKeysKeepLaterRank) {
  {
    const Model bpe = build({}, {{"x\ty", "z"}, {"x", "y\tz"}});
    EXPECT_EQ(bpe.record.merge_ranks.size(), 1u);
    EXPECT_EQ(rank_of(bpe, "x\ty\tz"), 1u);
  }
  {
    // Whichever pair comes later wins, not the one that "fits" better.
    const Model bpe = build({}, {{"x", "y\tz"}, {"q", "r"}, {"x\ty", "z"}, {"", "\t"}, {"\t", ""}});
    EXPECT_EQ(bpe.record.merge_ranks.size(), 3u);
    EXPECT_EQ(rank_of(bpe, "x\ty\tz"), 2u);
    EXPECT_EQ(rank_of(bpe, "\t\t"), 4u);
  }
}

TEST(CoreBPEBuild, UnvalidatedPairsAreStored) {
  const Model bpe = build({{"a", 0}},
                            {{"q", "r"},
                             {"\xE2\x96\x81", "a"},
                             {"a", "\xE2\x96\x81"},
                             {"", "a"},
                             {"a", ""},
                             {"", ""},
                             {"\xF0\x9F\x98\x80", "b"}});
  EXPECT_EQ(bpe.record.merge_ranks.size(), 7u);
  EXPECT_EQ(rank_of(bpe, "q\tr"), 0u);
  EXPECT_EQ(rank_of(bpe, "\xE2\x96\x81\ta"), 1u);
  EXPECT_EQ(rank_of(bpe, "a\t\xE2\x96\x81"), 2u);
  EXPECT_EQ(rank_of(bpe, "\ta"), 3u);
  EXPECT_EQ(rank_of(bpe, "a\t"), 4u);
  EXPECT_EQ(rank_of(bpe, "\t"), 5u);
  EXPECT_EQ(rank_of(bpe, "\xF0\x9F\x98\x80\tb"), 6u);
  // Merge tables never grow the vocabulary.
  EXPECT_EQ(bpe.record.token_to_id.size(), 1u);
}

TEST(CoreBPEBuild, SharedIdKeepsBothTokensAndOneReverseEntry) {
  const Model bpe = build({{"a", 7}, {"b", 7}, {"c", 8}});
  EXPECT_EQ(bpe.record.token_to_id.size(), 3u);
  EXPECT_EQ(bpe.record.token_to_id.at("a"), 7u);
  EXPECT_EQ(bpe.record.token_to_id.at("b"), 7u);
  const std::string shared = decode_one(bpe, 7);
  EXPECT_TRUE(shared == "a" || shared == "b") << shared;
  EXPECT_EQ(decode_one(bpe, 8), "c");
  expect_ids_decode_to_their_tokens(bpe);
}

TEST(CoreBPEBuild, ExtremeAndSparseIdsAreStoredUnchanged) {
  const Model bpe = build({{"zero", 0}, {"max", kMaxId}, {"gap", 2000000000u}, {"", 3}});
  EXPECT_EQ(bpe.record.token_to_id.at("zero"), 0u);
  EXPECT_EQ(bpe.record.token_to_id.at("max"), kMaxId);
  EXPECT_EQ(bpe.record.token_to_id.at("gap"), 2000000000u);
  EXPECT_EQ(bpe.record.token_to_id.at(""), 3u);
  EXPECT_EQ(decode_one(bpe, 0), "zero");
  EXPECT_EQ(decode_one(bpe, kMaxId), "max");
  EXPECT_EQ(decode_one(bpe, 2000000000u), "gap");
  EXPECT_EQ(decode_one(bpe, 3), "");
  EXPECT_EQ(decode_one(bpe, 1), "");
  EXPECT_EQ(decode_one(bpe, kMaxId - 1), "");
  expect_ids_decode_to_their_tokens(bpe);
}

TEST(CoreBPEBuild, ManySharedIdsStayConsistent) {
  TokenToId vocab;
  for (int i = 0; i < 500; ++i) vocab.emplace(std::to_string(i), static_cast<TokenId>(i % 37));
  const Model bpe = Model::build(std::move(vocab), {});
  EXPECT_EQ(bpe.record.token_to_id.size(), 500u);
  expect_ids_decode_to_their_tokens(bpe);
}

}  // namespace
}  // namespace morfex::bpe
