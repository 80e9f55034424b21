#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bpe/encoder.h"
#include "bpe/model.h"
#include "bpe/utf8.h"

namespace morfex::bpe {
namespace {

// The encoder as the merge rule reads: rescan every adjacent pair by its
// joined key after each merge, take the lowest rank, leftmost on ties.
std::vector<TokenId> naive_encode(const Model& bpe, const std::string& text) {
  std::vector<std::string> symbols;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t len = char_length(text, pos);
    symbols.push_back(text.substr(pos, len));
    pos += len;
  }
  while (symbols.size() >= 2) {
    Rank best = kNoRank;
    std::size_t at = 0;
    for (std::size_t i = 0; i + 1 < symbols.size(); ++i) {
      const Rank* rank = bpe.record.merge_ranks.get(symbols[i] + "\t" + symbols[i + 1]);
      if (rank != nullptr && *rank < best) {
        best = *rank;
        at = i;
      }
    }
    if (best == kNoRank) break;
    symbols[at] += symbols[at + 1];
    symbols.erase(symbols.begin() + static_cast<std::ptrdiff_t>(at) + 1);
  }
  std::vector<TokenId> ids;
  for (const std::string& symbol : symbols) {
    if (const TokenId* id = bpe.record.token_to_id.get(symbol)) {
      ids.push_back(*id);
      continue;
    }
    for (std::size_t pos = 0; pos < symbol.size();) {
      const std::size_t len = char_length(symbol, pos);
      const TokenId* id = bpe.record.token_to_id.get(symbol.substr(pos, len));
      ids.push_back(id != nullptr ? *id : bpe.record.unk_id);
      pos += len;
    }
  }
  return ids;
}

const std::vector<std::string> kAlphabet = {"a", "b", "\t", "\xE2\x96\x81", "\xF0\x9F\x98\x80", "\xC3\xA9"};

struct Random {
  std::mt19937 rng;
  std::size_t below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng); }
  std::string text(std::size_t chars) {
    std::string s;
    for (; chars > 0; --chars) s += kAlphabet[below(kAlphabet.size())];
    return s;
  }
};

// Random models whose merge parts hold TABs, so that different pairs share a
// joined key, with ranks repeated and results sometimes missing from the vocabulary.
Model random_model(Random& random) {
  TokenToId vocab;
  for (const std::string& ch : kAlphabet) {
    if (random.below(8) != 0) vocab.emplace(ch, static_cast<TokenId>(vocab.size()));
  }
  MergeList merges;
  for (std::size_t m = random.below(60); m > 0; --m) {
    std::string left = random.text(1 + random.below(3));
    std::string right = random.text(1 + random.below(3));
    if (random.below(4) != 0) vocab.emplace(left + right, static_cast<TokenId>(vocab.size()));
    merges.emplace_back(std::move(left), std::move(right));
    if (random.below(10) == 0) merges.push_back(merges[random.below(merges.size())]);
  }
  return Model::build(std::move(vocab), std::move(merges));
}

TEST(MergeOrder, AgreesWithRescanOnWordsAndLongInputs) {
  Random random{std::mt19937(11)};
  // Lengths on both sides of the word/long-input switch, and far beyond it.
  const std::size_t lengths[] = {0, 1, 2, 5, 31, 32, 33, 64, 300, 1000};
  for (int model = 0; model < 150; ++model) {
    const Model bpe = random_model(random);
    for (const std::size_t length : lengths) {
      const std::string text = random.text(length);
      ASSERT_EQ(encode(bpe, text), naive_encode(bpe, text)) << "model " << model << " length " << length;
    }
  }
}

TEST(MergeOrder, TabJoinedKeyMatchesAcrossPairsOnLongInput) {
  // ("a", TAB) then ("a", TAB + "b"): after a+TAB the symbols a-TAB and b form
  // the second entry's key, so each triple becomes one symbol.
  const Model bpe = Model::build(TokenToId{{"a", 0}, {"\t", 1}, {"b", 2}, {"a\t", 3}, {"a\tb", 4}},
                                     {{"a", "\t"}, {"a", "\tb"}});
  std::string text;
  for (int i = 0; i < 500; ++i) text += "a\tb";
  EXPECT_EQ(encode(bpe, text), std::vector<TokenId>(500, 4));
  EXPECT_EQ(encode(bpe, text), naive_encode(bpe, text));
}

TEST(MergeOrder, SymbolsGrowingPastEveryKeyStopMerging) {
  // Chains of merges build symbols of up to 2^k characters; beyond the
  // longest key no pair can have a rank.
  MergeList merges;
  TokenToId vocab{{"a", 0}};
  std::string piece = "a";
  for (int k = 0; k < 6; ++k) {
    merges.emplace_back(piece, piece);
    piece += piece;
    vocab.emplace(piece, static_cast<TokenId>(k + 1));
  }
  const Model bpe = Model::build(std::move(vocab), std::move(merges));
  for (const std::size_t length : {63u, 64u, 65u, 1000u, 4099u}) {
    const std::string text(length, 'a');
    EXPECT_EQ(encode(bpe, text), naive_encode(bpe, text)) << length;
  }
}

}  // namespace
}  // namespace morfex::bpe
