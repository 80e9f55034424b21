#include "bpe/decoder.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bpe/encoder.h"
#include "bpe/model.h"
#include "naive_bpe.h"
#include "test_model.h"

namespace morfex::bpe {
namespace {

using testing_support::VocabList;
using Ids = std::vector<TokenId>;

const std::string kMarker = "\xE2\x96\x81";  // U+2581

Model build(const VocabList& vocab, MergeList merges = {}) { return testing_support::model_of(vocab, std::move(merges)); }

// The tokens in the table's own order, whose last token of an id is the one it spells.
VocabList in_table_order(const Model& bpe) {
  VocabList tokens;
  for (const auto& [token, id] : bpe.record.token_to_id) tokens.emplace_back(token, id);
  return tokens;
}

std::set<TokenId> specials_of(const Model& bpe) {
  std::set<TokenId> specials;
  for (const auto& [token, id] : bpe.record.token_to_id) {
    if (bpe.record.special_ids.contains(id)) specials.insert(id);
  }
  return specials;
}

std::string decode_one(const Model& bpe, TokenId id) { return decode(bpe, Ids{id}); }

// Every id of the vocabulary decodes to one of the tokens that have that id.
void expect_ids_decode_to_their_tokens(const Model& bpe) {
  for (const auto& [token, id] : bpe.record.token_to_id) {
    const std::string decoded = decode_one(bpe, id);
    const TokenId* found = bpe.record.token_to_id.get(decoded);
    ASSERT_NE(found, nullptr) << decoded;
    EXPECT_EQ(*found, id) << decoded;
  }
}

struct DecodeCase {
  const char* name;
  Ids ids;
  std::string text;
};

class DecodeTable : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTable, DecodesToExpectedText) {
  static const Model bpe = build({
      {"<pad>", 0}, {"<unk>", 1}, {"<s>", 2}, {"</s>", 3},
      {kMarker, 4},
      {"k" + kMarker, 5}, {"um" + kMarker, 6}, {"ain", 7},
      {"ab", 8}, {kMarker + "c", 9},
      {kMarker + kMarker + "x" + kMarker + kMarker, 10},
      {" sp ", 11},
      // Not a special string, but it shares the id of "<s>".
      {"plain", 2},
      // The characters on either side of the marker in the same block.
      {"\xE2\x96\x80\xE2\x96\x82", 12},
      {"\t\n", 13},
      {"far", 4000000000u},
  });
  EXPECT_EQ(decode(bpe, GetParam().ids), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, DecodeTable,
    testing::Values(
        DecodeCase{"empty", {}, ""},
        DecodeCase{"only_specials", {0, 1, 2, 3, 3, 0}, ""},
        DecodeCase{"unknown_ids_dropped", {8, 999, 4294967295u, 8}, "abab"},
        DecodeCase{"markers_removed_across_tokens", {5, 6, 7}, "kumain"},
        DecodeCase{"marker_token_contributes_nothing", {4, 4, 8, 4}, "ab"},
        DecodeCase{"consecutive_markers_vanish", {10}, "x"},
        DecodeCase{"no_separator", {8, 9}, "abc"},
        DecodeCase{"whitespace_survives", {11, 8, 11}, " sp ab sp "},
        DecodeCase{"special_id_dropped_whatever_token", {8, 2, 8}, "abab"},
        DecodeCase{"neighbouring_characters_kept", {12, 4, 12}, "\xE2\x96\x80\xE2\x96\x82\xE2\x96\x80\xE2\x96\x82"},
        DecodeCase{"control_characters_kept", {13, 7}, "\t\nain"},
        DecodeCase{"large_sparse_id", {4000000000u, 1, 4000000000u}, "farfar"}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

TEST(Decode, SharedIdsDecodeToOneOfTheirTokens) {
  const Model bpe = build({{"a", 7}, {"b", 7}, {"c", 8}});
  const std::string shared = decode_one(bpe, 7);
  EXPECT_TRUE(shared == "a" || shared == "b") << shared;
  EXPECT_EQ(decode_one(bpe, 8), "c");
  expect_ids_decode_to_their_tokens(bpe);
  TokenToId many;
  for (int i = 0; i < 500; ++i) {
    const std::string token = std::to_string(i);
    many.insert_or_assign(token, static_cast<TokenId>(i % 37), TokenToId::hash_of(token));
  }
  expect_ids_decode_to_their_tokens(Model::build(std::move(many), {}));
}

TEST(Decode, ExtremeAndSparseIdsDecodeToTheirTokens) {
  const Model bpe = build({{"zero", 0}, {"max", 4294967295u}, {"gap", 2000000000u}, {"", 3}});
  EXPECT_EQ(decode_one(bpe, 0), "zero");
  EXPECT_EQ(decode_one(bpe, 4294967295u), "max");
  EXPECT_EQ(decode_one(bpe, 2000000000u), "gap");
  EXPECT_EQ(decode_one(bpe, 3), "");
  EXPECT_EQ(decode_one(bpe, 1), "");
  EXPECT_EQ(decode_one(bpe, 4294967294u), "");
  expect_ids_decode_to_their_tokens(bpe);
}

TEST(Decode, EmptyVocabDecodesEverythingToNothing) {
  const Model bpe = build({});
  EXPECT_EQ(decode(bpe, Ids{0, 1, 2, 4294967295u}), "");
}

TEST(Decode, WithoutSpecialsNoIdIsDropped) {
  const Model bpe = build({{"z", 0}, {"y", 1}, {"x", 2}, {"w", 3}});
  EXPECT_EQ(decode(bpe, Ids{3, 2, 1, 0}), "wxyz");
}

TEST(Decode, OnlyPresentSpecialsAreDropped) {
  const Model bpe = build({{"</s>", 0}, {"z", 1}, {"y", 2}});
  EXPECT_EQ(decode(bpe, Ids{0, 1, 2, 0}), "zy");
}

TEST(Decode, UnkIdWithoutUnkTokenDecodesToTokenWithIdOne) {
  // Characters the vocabulary lacks encode to 1, which here is the id of "a".
  const Model taken = build({{"a", 1}, {"b", 2}});
  const Ids ids = encode(taken, "bqa");
  EXPECT_EQ(ids, (Ids{2, 1, 1}));
  EXPECT_EQ(decode(taken, ids), "baa");
  // No entry has id 1, so the unknown character disappears.
  const Model free = build({{"a", 0}, {"b", 2}});
  EXPECT_EQ(decode(free, encode(free, "bqa")), "ba");
  // Id 1 is a special token's id, so it is dropped too.
  const Model special = build({{"a", 0}, {"b", 2}, {"<s>", 1}});
  EXPECT_EQ(decode(special, encode(special, "bqa")), "ba");
}

TEST(Decode, UnkTokenDecodesToNothing) {
  const Model bpe = build({{"<unk>", 7}, {"a", 1}});
  EXPECT_EQ(decode(bpe, encode(bpe, "aqa")), "aa");
}

TEST(Decode, RoundTripWhenEveryCharacterIsATokenAndIdsAreUnique) {
  const std::vector<std::string> alphabet = {"a", "b", "c", "\t", " ", kMarker, "\xF0\x9F\x98\x80", "\xC3\xA9"};
  std::mt19937 rng(7u);
  auto pick = [&rng](std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng); };
  auto random_text = [&](std::size_t max_chars) {
    std::string s;
    for (std::size_t n = pick(max_chars + 1); n > 0; --n) s += alphabet[pick(alphabet.size())];
    return s;
  };
  for (int model = 0; model < 500; ++model) {
    VocabList vocab = {{"<pad>", 0}, {"<unk>", 1}, {"<s>", 2}, {"</s>", 3}};
    std::set<std::string> seen(alphabet.begin(), alphabet.end());
    TokenId next = 4;
    for (const auto& ch : alphabet) vocab.emplace_back(ch, next++);
    MergeList merges;
    for (std::size_t m = pick(12); m > 0; --m) {
      std::string left = random_text(2);
      std::string right = random_text(2);
      if (left.empty() || right.empty()) continue;
      if (seen.insert(left + right).second) vocab.emplace_back(left + right, next++);
      merges.emplace_back(std::move(left), std::move(right));
    }
    const Model bpe = build(vocab, std::move(merges));
    for (int t = 0; t < 5; ++t) {
      const std::string text = random_text(16);
      ASSERT_EQ(decode(bpe, encode(bpe, text)), naive::without_markers(text)) << "model " << model;
    }
  }
}

// Decoding the plain way: join the tokens the record keeps, then delete the
// markers. Tokens of every length around the inline and block sizes, ids
// dense, sparse, shared and absent, and more of them than one batch. The
// shape given with the text is the text's own, unless a token was not
// UTF-8 on its own, which the shape must then say.
TEST(Decode, MatchesJoiningTheTokensThenDeletingMarkers) {
  const std::vector<std::string> pieces = {"a", "\xC5\x82", kMarker, "\xF0\x9F\x98\x80", "<s>", "bcd", "\xC3", "\xA9", "\xFE"};
  std::mt19937 rng(11u);
  auto pick = [&rng](std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng); };
  for (int model = 0; model < 300; ++model) {
    VocabList vocab;
    if (pick(2) == 0) vocab.emplace_back("<s>", static_cast<TokenId>(pick(8)));
    for (std::size_t n = 1 + pick(40); n > 0; --n) {
      std::string token;
      for (std::size_t length = pick(12); length > 0; --length) token += pieces[pick(pieces.size())];
      const std::size_t kind = pick(10);
      const TokenId id = kind == 0 ? 4000000000u + static_cast<TokenId>(pick(3)) : static_cast<TokenId>(pick(kind < 3 ? 200 : 60));
      vocab.emplace_back(std::move(token), id);
    }
    const Model bpe = build(vocab);
    Ids ids;
    for (std::size_t n = pick(40); n > 0; --n) ids.push_back(vocab[pick(vocab.size())].second + (pick(8) == 0 ? 1 : 0));
    const std::string expected = naive::decode(in_table_order(bpe), specials_of(bpe), ids);
    TextBuffer text;
    const TextShape shape = decode(bpe, ids, text);
    ASSERT_EQ(std::string(text.begin(), text.end()), expected) << "model " << model;
    const TextShape own = shape_of(expected);
    if (shape.widest != Width::kMalformed) {
      ASSERT_EQ(shape.widest, own.widest) << "model " << model;
      ASSERT_EQ(shape.chars, own.chars) << "model " << model;
    } else {
      bool malformed_token = false;
      for (const TokenId id : ids) {
        malformed_token |= shape_of(decode_one(bpe, id)).widest == Width::kMalformed;
      }
      ASSERT_TRUE(malformed_token) << "model " << model;
    }
  }
}

}  // namespace
}  // namespace morfex::bpe
