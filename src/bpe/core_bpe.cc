#include "bpe/core_bpe.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "bpe/encoder.h"
#include "bpe/utf8.h"

namespace morfex::bpe {

void SpecialIds::insert(TokenId id) noexcept {
  if (contains(id) || size_ == ids_.size()) return;
  // Unused places repeat the first id, so a lookup compares all four without a loop.
  if (size_ == 0) ids_.fill(id);
  ids_[size_++] = id;
}

bool SpecialIds::contains(TokenId id) const noexcept {
  static_assert(kSpecialTokens.size() == 4);
  return size_ != 0 && (ids_[0] == id || ids_[1] == id || ids_[2] == id || ids_[3] == id);
}

void JoinableBytes::add_key(std::string_view key) noexcept {
  // A TAB at either end has an empty part beside it, which no symbol matches.
  for (std::size_t tab = key.find(kMergeSeparator, 1); tab != std::string_view::npos && tab + 1 < key.size();
       tab = key.find(kMergeSeparator, tab + 1)) {
    pairs_[static_cast<unsigned char>(key[tab - 1]) * 256u + static_cast<unsigned char>(key[tab + 1])] = true;
  }
}

void add_merge(MergeRanks& ranks, std::string_view left, std::string_view right, Rank rank, std::string& key) {
  key.assign(left);
  key.push_back(kMergeSeparator);
  key.append(right);
  ranks.insert_or_assign(key, rank);
}

namespace {

// Registers every way of reading a merge key as (left token, TAB, right
// token): the encoder then ranks two adjacent vocabulary tokens by their
// positions, with the same answer as looking up their joined key.
void index_merge_pairs(CoreBPE& bpe) {
  bpe.merge_pairs.reserve(bpe.merge_ranks.size());
  std::string joined;
  for (const auto& [key, rank] : bpe.merge_ranks) {
    bpe.joinable.add_key(key);
    // Symbols are never empty, so a TAB at either end separates nothing.
    for (std::size_t tab = key.find(kMergeSeparator, 1); tab != std::string_view::npos && tab + 1 < key.size();
         tab = key.find(kMergeSeparator, tab + 1)) {
      const std::uint32_t left = bpe.token_to_id.position_of(key.substr(0, tab));
      const std::uint32_t right = bpe.token_to_id.position_of(key.substr(tab + 1));
      if (left == TokenToId::kNoPosition || right == TokenToId::kNoPosition) continue;
      joined.assign(key.substr(0, tab));
      joined.append(key.substr(tab + 1));
      bpe.merge_pairs.insert_or_assign(left, right, {rank, bpe.token_to_id.position_of(joined)});
    }
  }
}

void index_char_tokens(CoreBPE& bpe) {
  for (auto it = bpe.token_to_id.begin(); it != bpe.token_to_id.end(); ++it) {
    const std::string_view token = (*it).first;
    if (token.empty() || char_length(token, 0) != token.size()) continue;
    if (const std::uint32_t scalar = scalar_value(token.data(), token.size()); scalar != kNotScalar) {
      bpe.char_tokens.set(scalar, it.position());
    }
  }
}

}  // namespace

CoreBPE CoreBPE::build(TokenToId vocab, MergeList merges) {
  MergeRanks ranks;
  if (!merges.empty()) ranks.reserve(merges.size());
  std::string key;
  Rank rank = 0;
  for (const auto& [left, right] : merges) add_merge(ranks, left, right, rank++, key);
  MergeList().swap(merges);
  return from_ranks(std::move(vocab), std::move(ranks));
}

CoreBPE CoreBPE::from_ranks(TokenToId vocab, MergeRanks merge_ranks) {
  CoreBPE bpe;
  bpe.token_to_id = std::move(vocab);
  bpe.merge_ranks = std::move(merge_ranks);
  index_merge_pairs(bpe);
  index_char_tokens(bpe);
  bpe.merges_whole.assign(bpe.token_to_id.size(), false);
  for (auto it = bpe.token_to_id.begin(); it != bpe.token_to_id.end(); ++it) {
    bpe.merges_whole[it.position()] = merges_to_itself(bpe, (*it).first);
  }

  if (!bpe.token_to_id.empty()) {
    for (const char* special : kSpecialTokens) {
      if (const TokenId* id = bpe.token_to_id.get(special)) bpe.special_ids.insert(*id);
    }
  }
  if (const TokenId* id = bpe.token_to_id.get("<unk>")) bpe.unk_id = *id;
  bpe.spellings = Spellings(bpe.token_to_id, bpe.special_ids);
  bpe.ids_are_positions = true;
  for (std::uint32_t position = 0; position < bpe.token_to_id.size(); ++position) {
    if (bpe.token_to_id.value_at(position) != position) bpe.ids_are_positions = false;
  }
  return bpe;
}

}  // namespace morfex::bpe
