#include "bpe/merge_index.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "bpe/encoder.h"
#include "bpe/model.h"
#include "bpe/utf8.h"
#include "naive_bpe.h"
#include "test_model.h"

namespace morfex::bpe {
namespace {

using testing_support::VocabList;

const std::vector<std::string> kPieces = {"a", "b", "\t", "\xE2\x96\x81", "\xC3\xA9", "\xF0\x9F\x98\x80", "\xC3"};

// Vocabularies of short tokens, in id order or not, and merges that mostly
// split a token, sometimes around a TAB of its own.
Model random_model(std::mt19937& rng) {
  auto below = [&rng](std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng); };
  auto text = [&](std::size_t chars) {
    std::string s;
    for (; chars > 0; --chars) s += kPieces[below(kPieces.size())];
    return s;
  };
  const bool in_order = below(2) == 0;
  naive::Vocab unique;
  for (std::size_t n = below(30); n > 0; --n) unique.emplace(text(1 + below(3)), 0);
  VocabList vocab;
  for (const auto& [token, unused] : unique) {
    vocab.emplace_back(token, in_order ? static_cast<TokenId>(vocab.size()) : static_cast<TokenId>(below(40)));
  }
  MergeList merges;
  for (std::size_t n = below(30); n > 0; --n) {
    if (!vocab.empty() && below(4) != 0) {
      const std::vector<std::string> chars = naive::characters(vocab[below(vocab.size())].first);
      const std::size_t cut = below(chars.size() + 1);
      std::string left;
      std::string right;
      for (std::size_t c = 0; c < chars.size(); ++c) (c < cut ? left : right) += chars[c];
      merges.emplace_back(left, right);
    } else {
      merges.emplace_back(text(below(3)), text(below(3)));
    }
  }
  return testing_support::model_of(vocab, merges);
}

// Every table of the index says what the record says, read the slow way.
TEST(MergeIndex, AgreesWithTheRecordOnRandomModels) {
  std::mt19937 rng(29);
  for (int round = 0; round < 400; ++round) {
    const Model model = random_model(rng);
    const CoreBPE& record = model.record;
    const MergeIndex& index = model.index;
    bool positions = true;
    for (auto left = record.token_to_id.begin(); left != record.token_to_id.end(); ++left) {
      const std::string left_token((*left).first);
      positions = positions && (*left).second == left.position();
      ASSERT_EQ(index.id_at(record, left.position()), (*left).second) << round;
      for (auto right = record.token_to_id.begin(); right != record.token_to_id.end(); ++right) {
        const std::string right_token((*right).first);
        const PairTable::Merge merge = index.merge_pairs.merge_of(left.position(), right.position());
        const Rank* rank = record.merge_ranks.get(left_token + kMergeSeparator + right_token);
        if (rank == nullptr) {
          ASSERT_EQ(merge.rank, kNoRank) << round;
          continue;
        }
        ASSERT_EQ(merge.rank, *rank) << round;
        ASSERT_EQ(merge.merged, record.token_to_id.position_of(left_token + right_token)) << round;
      }
      // A token that is one well-formed character is found by its scalar value.
      const Char c = char_at(left_token, 0);
      if (c.length == left_token.size() && c.scalar != kNotScalar) {
        ASSERT_EQ(index.char_tokens.get(c.scalar), left.position()) << round;
      }
      // A token taken whole must be what merging its text gives.
      if (index.merges_whole[left.position()]) {
        ASSERT_EQ(encode(model, left_token), std::vector<TokenId>{(*left).second}) << round;
      }
    }
    ASSERT_EQ(index.ids_are_positions, positions) << round;
    for (const auto& [key, rank] : record.merge_ranks) {
      for (std::size_t tab = 1; tab + 1 < key.size(); ++tab) {
        if (key[tab] != kMergeSeparator) continue;
        const std::string around{key[tab - 1], key[tab + 1]};
        ASSERT_TRUE(index.joinable.joins_at(around, 1)) << round;
      }
    }
  }
}

}  // namespace
}  // namespace morfex::bpe
