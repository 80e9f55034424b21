#include "bpe/core_bpe.h"

#include <algorithm>
#include <array>
#include <cstdint>
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

void add_merge(DeferredInserts<Rank>& ranks, std::string_view left, std::string_view right, Rank rank,
               std::string& key) {
  key.assign(left);
  key.push_back(kMergeSeparator);
  key.append(right);
  ranks.insert_or_assign(key, rank);
}

namespace {

// Registers every way of reading a merge key as (left token, TAB, right
// token): the encoder then ranks two adjacent vocabulary tokens by their
// positions, with the same answer as looking up their joined key. On a large
// vocabulary nearly every lookup misses the cache, so readings go in
// batches: all their lookups are hashed and prefetched before any is made.
void index_merge_pairs(CoreBPE& bpe) {
  bpe.merge_pairs.reserve(bpe.merge_ranks.size());
  const TokenToId& tokens = bpe.token_to_id;
  struct Reading {
    std::string_view left;
    std::string_view right;
    Rank rank;
    std::uint64_t left_hash;
    std::uint64_t right_hash;
    std::uint64_t joined_hash;
  };
  constexpr std::size_t kBatch = 32;
  std::array<Reading, kBatch> batch;
  std::array<std::string, kBatch> joined;
  std::size_t size = 0;
  auto look_up_batch = [&] {
    for (std::size_t i = 0; i < size; ++i) {
      const Reading& reading = batch[i];
      const std::uint32_t left = tokens.position_of(reading.left, reading.left_hash);
      const std::uint32_t right = tokens.position_of(reading.right, reading.right_hash);
      if (left == TokenToId::kNoPosition || right == TokenToId::kNoPosition) continue;
      bpe.merge_pairs.insert_or_assign(left, right, {reading.rank, tokens.position_of(joined[i], reading.joined_hash)});
    }
    size = 0;
  };
  auto read_key = [&](std::string_view key, Rank rank) {
    // Symbols are never empty, so a TAB at either end separates nothing.
    for (std::size_t tab = key.find(kMergeSeparator, 1); tab != std::string_view::npos && tab + 1 < key.size();
         tab = key.find(kMergeSeparator, tab + 1)) {
      bpe.joinable.add(key[tab - 1], key[tab + 1]);
      Reading& reading = batch[size];
      reading.left = key.substr(0, tab);
      reading.right = key.substr(tab + 1);
      reading.rank = rank;
      joined[size].assign(reading.left);
      joined[size].append(reading.right);
      reading.left_hash = TokenToId::hash_of(reading.left);
      reading.right_hash = TokenToId::hash_of(reading.right);
      reading.joined_hash = TokenToId::hash_of(joined[size]);
      tokens.prefetch(reading.left_hash);
      tokens.prefetch(reading.right_hash);
      tokens.prefetch(reading.joined_hash);
      if (++size == kBatch) look_up_batch();
    }
  };
  // The table is walked in slot order, so long keys are read from all over
  // its arena: each is prefetched kAhead keys before it is read.
  constexpr std::size_t kAhead = 16;
  std::array<std::pair<std::string_view, Rank>, kAhead> ahead;
  std::size_t walked = 0;
  for (const auto& [key, rank] : bpe.merge_ranks) {
    __builtin_prefetch(key.data());
    std::pair<std::string_view, Rank>& place = ahead[walked++ % kAhead];
    if (walked > kAhead) read_key(place.first, place.second);
    place = {key, rank};
  }
  for (std::size_t i = walked > kAhead ? walked - kAhead : 0; i < walked; ++i) {
    read_key(ahead[i % kAhead].first, ahead[i % kAhead].second);
  }
  look_up_batch();
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
  DeferredInserts<Rank> inserts(ranks);
  std::string key;
  Rank rank = 0;
  for (const auto& [left, right] : merges) add_merge(inserts, left, right, rank++, key);
  inserts.flush();
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
