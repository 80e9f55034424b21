#include "bpe/encoder.h"
#include "bpe/model.h"
#include "naive_bpe.h"
#include "test_model.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace morfex::bpe {
namespace {

using testing_support::VocabList;
using Ids = std::vector<TokenId>;

const std::string kMarker = "\xE2\x96\x81";       // U+2581, three bytes
const std::string kAstral = "\xF0\x9F\x98\x80";   // U+1F600, four bytes
const std::string kTwoByte = "\xC3\xA9";          // U+00E9

Model build(const VocabList& vocab, MergeList merges = {}) { return testing_support::model_of(vocab, std::move(merges)); }

bool merges_to_itself(const Model& model, std::string_view token) {
  return bpe::merges_to_itself(model.record, model.index, token);
}

VocabList example_vocab() {
  return {{"<pad>", 0}, {"<unk>", 1}, {"<s>", 2}, {"</s>", 3}, {kMarker, 4}, {"k", 5},
          {"u", 6},     {"m", 7},     {"a", 8},   {"i", 9},    {"n", 10},     {"um", 11},
          {"ai", 12},   {"ain", 13},  {"b", 14},  {"c", 15},   {"bc", 16},    {"aa", 17}};
}

MergeList example_merges() {
  return {{"u", "m"}, {"a", "i"}, {"ai", "n"}, {"k", "u"},
          {"b", "c"}, {"a", "b"}, {"a", "a"}, {"m", "n"}};
}

struct ExampleCase {
  const char* name;
  std::string text;
  Ids ids;
};

class ExampleTable : public testing::TestWithParam<ExampleCase> {};

TEST_P(ExampleTable, EncodesToExpectedIds) {
  static const Model bpe = build(example_vocab(), example_merges());
  EXPECT_EQ(encode(bpe, GetParam().text), GetParam().ids);
}

INSTANTIATE_TEST_SUITE_P(
    Example, ExampleTable,
    testing::Values(
        ExampleCase{"markers_block_merges", "k" + kMarker + "um" + kMarker + "ain", {5, 4, 11, 4, 13}},
        ExampleCase{"rank_before_position", "kum", {5, 11}},
        ExampleCase{"lower_rank_right_pair_first", "abc", {8, 16}},
        ExampleCase{"equal_ranks_leftmost_first", "aaaa", {17, 17}},
        ExampleCase{"leftmost_of_two_equal", "aaa", {17, 8}},
        ExampleCase{"merged_symbol_falls_back", "mn", {7, 10}},
        ExampleCase{"unknown_char_gets_unk", "kq" + kMarker + "a", {5, 1, 4, 8}},
        ExampleCase{"single_char", "k", {5}},
        ExampleCase{"empty_text", "", {}},
        ExampleCase{"special_text_is_plain_chars", "<s>", {1, 1, 1}},
        ExampleCase{"lone_marker", kMarker, {4}},
        ExampleCase{"astral_unknown_is_one_unk", kAstral, {1}}),
    [](const testing::TestParamInfo<ExampleCase>& info) { return std::string(info.param.name); });

TEST(Encode, UnknownCharGetsOneWithoutUnkToken) {
  // Id 1 belongs to an ordinary token; it is still what a missing character yields.
  const Model taken = build({{"a", 1}, {"b", 2}});
  EXPECT_EQ(encode(taken, "abz"), (Ids{1, 2, 1}));
  const Model free = build({{"a", 0}, {"b", 2}});
  EXPECT_EQ(encode(free, "zab" + kAstral), (Ids{1, 0, 2, 1}));
}

// The id given in place of unk_id marks exactly the characters the vocabulary
// lacks, in merged symbols' fallback too, and nothing that holds unk_id.
struct UnknownCase {
  std::string text;
  Ids ids;
};

class UnknownIdTable : public ::testing::TestWithParam<UnknownCase> {};

TEST_P(UnknownIdTable, MarksOnlyMissingCharacters) {
  const Model bpe = build({{"ab", 1}, {"b", 2}, {"zb", 3}}, {{"a", "b"}, {"b", "z"}, {"z", "b"}});
  IdBuffer ids;
  encode(bpe, GetParam().text, ids, 99);
  EXPECT_EQ(Ids(ids.begin(), ids.end()), GetParam().ids);
  std::vector<TokenId> with_unk = GetParam().ids;
  for (TokenId& id : with_unk) id = id == 99 ? 1 : id;
  EXPECT_EQ(encode(bpe, GetParam().text), with_unk);
}

INSTANTIATE_TEST_SUITE_P(Encode, UnknownIdTable,
                         ::testing::Values(UnknownCase{"ab", {1}}, UnknownCase{"aab", {99, 1}},
                                           UnknownCase{"abz", {1, 99}}, UnknownCase{"bz", {2, 99}},
                                           UnknownCase{"zb", {3}}, UnknownCase{"", {}},
                                           UnknownCase{"a" + kAstral, {99, 99}}));

TEST(Encode, UnknownCharGetsUnkTokenId) {
  const Model bpe = build({{"<unk>", 4294967295u}, {"a", 1}});
  EXPECT_EQ(encode(bpe, "aza"), (Ids{1, 4294967295u, 1}));
}

TEST(Encode, EmptyMergesLookUpEachCharacter) {
  const Model bpe = build({{"a", 3}, {"aa", 4}, {kMarker, 5}});
  EXPECT_EQ(encode(bpe, "aa" + kMarker + "a"), (Ids{3, 3, 5, 3}));
}

TEST(Encode, EmptyVocabGivesUnkPerCharacter) {
  const Model bpe = build({}, {{"a", "b"}});
  EXPECT_EQ(encode(bpe, "ab" + kAstral + kTwoByte + kMarker + "\t"), (Ids{1, 1, 1, 1, 1, 1}));
  const Model none = build({});
  EXPECT_EQ(encode(none, ""), Ids{});
}

TEST(Encode, SpecialTokenTextOnlyMergesAsFarAsMergesAllow) {
  VocabList vocab = example_vocab();
  vocab.emplace_back("<", 20);
  vocab.emplace_back("s", 21);
  vocab.emplace_back(">", 22);
  EXPECT_EQ(encode(build(vocab), "<s>"), (Ids{20, 21, 22}));
  EXPECT_EQ(encode(build(vocab, {{"<", "s"}}), "<s>"), (Ids{20, 21, 22}));
  EXPECT_EQ(encode(build(vocab, {{"<", "s"}, {"<s", ">"}}), "<s>"), (Ids{2}));
}

TEST(Encode, AstralCharacterIsOneSymbol) {
  const Model bpe = build({{kAstral, 7}, {"a", 8}, {kAstral + "a", 9}}, {{kAstral, "a"}});
  EXPECT_EQ(encode(bpe, kAstral), (Ids{7}));
  EXPECT_EQ(encode(bpe, kAstral + "a" + kAstral), (Ids{9, 7}));
  // Pieces of the four bytes must never be looked up or merged on their own.
  const Model bytes = build({{"\xF0", 1}, {"\x9F", 2}, {"\x98", 3}, {"\x80", 4}, {"<unk>", 0}},
                              {{"\xF0", "\x9F"}, {"\x98", "\x80"}});
  EXPECT_EQ(encode(bytes, kAstral + kAstral), (Ids{0, 0}));
}

TEST(Encode, TabJoinedKeysCanMatchAnotherPair) {
  const MergeList merges = {{"a", "\t"}, {"a", "\tb"}};
  const Model bpe = build({{"a\tb", 42}, {"a", 1}, {"\t", 2}, {"b", 3}, {"a\t", 4}}, merges);
  EXPECT_EQ(encode(bpe, "a\tb"), (Ids{42}));
  // Without the merged token the symbol a-TAB-b falls back to its characters.
  const Model fallback = build({{"a", 1}, {"\t", 2}, {"b", 3}, {"a\t", 4}}, merges);
  EXPECT_EQ(encode(fallback, "a\tb"), (Ids{1, 2, 3}));
}

TEST(Encode, FallbackGoesStraightToCharacters) {
  const Model bpe = build({{"a", 1}, {"b", 2}, {"ab", 3}, {"<unk>", 9}}, {{"a", "b"}, {"ab", "c"}});
  // "abc" is not a token, so it splits into a, b, c; the intermediate "ab" is not tried.
  EXPECT_EQ(encode(bpe, "abc"), (Ids{1, 2, 9}));
  EXPECT_EQ(encode(bpe, "ab"), (Ids{3}));
}

TEST(Encode, MarkerMergesWhenTheTableHasAKeyForIt) {
  const Model bpe = build({{"a", 1}, {kMarker, 2}, {kMarker + "a", 3}}, {{kMarker, "a"}});
  EXPECT_EQ(encode(bpe, "a" + kMarker + "a"), (Ids{1, 3}));
}

TEST(Encode, MergingIgnoresWhetherResultIsAToken) {
  // "xy" is no token, yet merging goes on to build "xyz", which is.
  const Model bpe = build({{"x", 1}, {"y", 2}, {"z", 3}, {"xyz", 4}}, {{"x", "y"}, {"xy", "z"}});
  EXPECT_EQ(encode(bpe, "xyz"), (Ids{4}));
  EXPECT_EQ(encode(bpe, "xyxy"), (Ids{1, 2, 1, 2}));
}

TEST(Encode, EmptyMergePartsNeverMatchNonEmptySymbols) {
  const Model bpe = build({{"a", 1}, {"b", 2}, {"ab", 3}}, {{"", "a"}, {"a", ""}, {"", ""}});
  EXPECT_EQ(encode(bpe, "ab"), (Ids{1, 2}));
}

// A stretch that spells a token is taken whole only when the token's own
// text merges into it: here "abcd" never forms, since "bc" and "cd" come
// first and no key joins them further, while "wxyz" does.
TEST(Encode, WholeStretchShortcutOnlyForTokensThatMergeToThemselves) {
  const VocabList vocab = {{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}, {"bc", 5}, {"abcd", 6}, {"w", 7},
                           {"x", 8}, {"y", 9}, {"z", 10}, {"wx", 11}, {"yz", 12}, {"wxyz", 13}, {kMarker, 14}};
  const Model bpe = build(vocab, {{"b", "c"}, {"c", "d"}, {"w", "x"}, {"y", "z"}, {"wx", "yz"}, {"a", "bcd"}});
  EXPECT_FALSE(bpe.index.merges_whole[bpe.record.token_to_id.position_of("abcd")]);
  EXPECT_TRUE(bpe.index.merges_whole[bpe.record.token_to_id.position_of("wxyz")]);
  // Shorter stretches merge faster than a lookup, so they are never taken whole.
  EXPECT_FALSE(merges_to_itself(bpe, "bc"));
  EXPECT_EQ(encode(bpe, "abcd" + kMarker + "wxyz"), (Ids{1, 5, 4, 14, 13}));
  // Nor are stretches longer than eight characters, which still merge as usual.
  VocabList letters;
  MergeList chain;
  std::string word = "a";
  for (char c = 'b'; c <= 'r'; ++c) {
    letters.emplace_back(std::string(1, c), static_cast<TokenId>(c));
    chain.emplace_back(word, std::string(1, c));
    word += c;
    letters.emplace_back(word, static_cast<TokenId>(1000 + word.size()));
  }
  letters.emplace_back("a", 97);
  const Model long_tokens = build(letters, chain);
  EXPECT_TRUE(merges_to_itself(long_tokens, word.substr(0, 8)));
  EXPECT_FALSE(merges_to_itself(long_tokens, word.substr(0, 9)));
  EXPECT_EQ(encode(long_tokens, word.substr(0, 9)), (Ids{1009}));
  // A token that holds a cut can never be one stretch.
  EXPECT_FALSE(merges_to_itself(build({{"a", 1}, {kMarker, 2}, {"a" + kMarker, 3}}, {{"a", "b"}}), "a" + kMarker));
}

// Bytes that are not UTF-8 (only C++ callers can pass them) are looked up as
// they stand; an overlong form never stands for the character it spells.
TEST(Encode, MalformedBytesAreTheirOwnCharacters) {
  const Model bpe = build({{std::string("\0", 1), 1}, {"/", 2}, {"\xC0\x80", 3}, {"\xC0\xAF", 4}, {"\x80", 5}});
  EXPECT_EQ(encode(bpe, std::string("\xC0\x80\0\xC0\xAF/\x80\xFF", 8)), (Ids{3, 1, 4, 2, 5, 1}));
}

TEST(Encode, ControlAndWhiteSpaceCharactersAreSymbols) {
  const Model bpe = build({{" ", 1}, {"\n", 2}, {std::string(1, '\0'), 3}, {" \n", 4}}, {{" ", "\n"}});
  EXPECT_EQ(encode(bpe, std::string(" \n\0 ", 4)), (Ids{4, 3, 1}));
}

class RandomModel {
 public:
  explicit RandomModel(std::uint32_t seed) : rng_(seed) {}

  std::string text(std::size_t max_chars) {
    std::string s;
    const std::size_t n = pick(max_chars + 1);
    for (std::size_t i = 0; i < n; ++i) s += kAlphabet[pick(std::size(kAlphabet))];
    return s;
  }

  VocabList vocab() {
    std::map<std::string, TokenId> unique;
    for (const char* ch : kAlphabet) {
      if (chance(70)) unique[ch] = id();
    }
    const std::size_t extra = pick(16);
    for (std::size_t i = 0; i < extra; ++i) unique[text(4)] = id();
    // Fillers sorting between the ASCII and the multi-byte characters push
    // the latter past the pair table's square array, into its hashed part.
    if (chance(50)) {
      for (int i = 0; i < 150; ++i) unique[std::string(1, 'z').append(std::to_string(i))] = id();
    }
    if (chance(30)) unique["<unk>"] = id();
    if (chance(20)) unique["<s>"] = id();
    return {unique.begin(), unique.end()};
  }

  // Mostly splits of vocabulary tokens, so merges actually fire; the rest are
  // arbitrary strings (empty ones included) and repeats of earlier pairs.
  MergeList merges(const VocabList& vocab) {
    MergeList merges;
    const std::size_t n = pick(24);
    for (std::size_t i = 0; i < n; ++i) {
      if (!merges.empty() && chance(10)) {
        merges.push_back(merges[pick(merges.size())]);
      } else if (!vocab.empty() && chance(60)) {
        const std::string& token = vocab[pick(vocab.size())].first;
        const std::vector<std::string> chars = naive::characters(token);
        const std::size_t cut = pick(chars.size() + 1);
        std::string left;
        std::string right;
        for (std::size_t c = 0; c < chars.size(); ++c) (c < cut ? left : right) += chars[c];
        merges.emplace_back(left, right);
      } else {
        merges.emplace_back(text(3), text(3));
      }
    }
    return merges;
  }

 private:
  static constexpr const char* kAlphabet[] = {"a", "b", "\t", "\xE2\x96\x81", "\xF0\x9F\x98\x80", "\xC3\xA9"};

  std::size_t pick(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng_); }
  bool chance(int percent) { return pick(100) < static_cast<std::size_t>(percent); }
  TokenId id() {
    if (chance(5)) return 4294967295u;
    return static_cast<TokenId>(pick(24));
  }

  std::mt19937 rng_;
};

// The distinct tokens of `vocab`, each numbered by its place among them, as
// a vocabulary listed in id order is; the encoder then skips its id lookup.
VocabList numbered_in_order(const VocabList& vocab) {
  VocabList numbered;
  std::map<std::string, TokenId> seen;
  for (const auto& [token, id] : vocab) {
    const auto next = static_cast<TokenId>(numbered.size());
    if (seen.emplace(token, next).second) numbered.emplace_back(token, next);
  }
  return numbered;
}

TEST(EncodeDifferential, MatchesNaiveEncoderOnRandomModels) {
  RandomModel random(20240611u);
  for (int model = 0; model < 3000; ++model) {
    VocabList vocab = random.vocab();
    if (model % 2 == 0) vocab = numbered_in_order(vocab);
    const MergeList merges = random.merges(vocab);
    const naive::Vocab tables(vocab.begin(), vocab.end());
    const Model bpe = build(vocab, merges);
    ASSERT_TRUE(model % 2 != 0 || bpe.index.ids_are_positions) << "model " << model;
    for (int t = 0; t < 6; ++t) {
      const std::string text = random.text(t == 0 ? 40 : 12);
      const Ids got = encode(bpe, text);
      ASSERT_EQ(got, naive::encode(tables, merges, text)) << "model " << model << " text '" << text << "'";
      ASSERT_LE(got.size(), naive::characters(text).size());
    }
  }
}

const std::vector<std::string> kTabAlphabet = {"a", "b", "\t", "\xE2\x96\x81", "\xF0\x9F\x98\x80", "\xC3\xA9"};

struct TabModel {
  naive::Vocab vocab;
  MergeList merges;
  Model model;
};

// Random models whose merge parts hold TABs, so that different pairs share a
// joined key, with ranks repeated and results sometimes missing from the vocabulary.
class TabRandom {
 public:
  explicit TabRandom(std::uint32_t seed) : rng_(seed) {}

  std::size_t below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng_); }
  std::string text(std::size_t chars) {
    std::string s;
    for (; chars > 0; --chars) s += kTabAlphabet[below(kTabAlphabet.size())];
    return s;
  }

  TabModel model() {
    naive::Vocab vocab;
    auto add = [&vocab](const std::string& token) { vocab.emplace(token, static_cast<TokenId>(vocab.size())); };
    for (const std::string& ch : kTabAlphabet) {
      if (below(8) != 0) add(ch);
    }
    MergeList merges;
    for (std::size_t m = below(60); m > 0; --m) {
      std::string left = text(1 + below(3));
      std::string right = text(1 + below(3));
      if (below(4) != 0) add(left + right);
      merges.emplace_back(std::move(left), std::move(right));
      if (below(10) == 0) merges.push_back(merges[below(merges.size())]);
    }
    Model built = build(VocabList(vocab.begin(), vocab.end()), merges);
    return {std::move(vocab), std::move(merges), std::move(built)};
  }

 private:
  std::mt19937 rng_;
};

TEST(EncodeMergeOrder, AgreesWithRescanOnWordsAndLongInputs) {
  TabRandom random(11);
  // Lengths on both sides of the word/long-input switch, and far beyond it.
  const std::size_t lengths[] = {0, 1, 2, 5, 31, 32, 33, 64, 300, 1000};
  for (int model = 0; model < 150; ++model) {
    const TabModel tab = random.model();
    for (const std::size_t length : lengths) {
      const std::string text = random.text(length);
      ASSERT_EQ(encode(tab.model, text), naive::encode(tab.vocab, tab.merges, text))
          << "model " << model << " length " << length;
    }
  }
}

TEST(EncodeMergeOrder, TabJoinedKeyMatchesAcrossPairsOnLongInput) {
  // ("a", TAB) then ("a", TAB + "b"): after a+TAB the symbols a-TAB and b form
  // the second entry's key, so each triple becomes one symbol.
  const naive::Vocab vocab = {{"a", 0}, {"\t", 1}, {"b", 2}, {"a\t", 3}, {"a\tb", 4}};
  const MergeList merges = {{"a", "\t"}, {"a", "\tb"}};
  const Model bpe = build(VocabList(vocab.begin(), vocab.end()), merges);
  std::string text;
  for (int i = 0; i < 500; ++i) text += "a\tb";
  EXPECT_EQ(encode(bpe, text), Ids(500, 4));
  EXPECT_EQ(encode(bpe, text), naive::encode(vocab, merges, text));
}

TEST(EncodeMergeOrder, SymbolsGrowingPastEveryKeyStopMerging) {
  // Chains of merges build symbols of up to 2^k characters; beyond the
  // longest key no pair can have a rank.
  MergeList merges;
  naive::Vocab vocab{{"a", 0}};
  std::string piece = "a";
  for (int k = 0; k < 6; ++k) {
    merges.emplace_back(piece, piece);
    piece += piece;
    vocab.emplace(piece, static_cast<TokenId>(k + 1));
  }
  const Model bpe = build(VocabList(vocab.begin(), vocab.end()), merges);
  for (const std::size_t length : {63u, 64u, 65u, 1000u, 4099u}) {
    const std::string text(length, 'a');
    EXPECT_EQ(encode(bpe, text), naive::encode(vocab, merges, text)) << length;
  }
}

}  // namespace
}  // namespace morfex::bpe
