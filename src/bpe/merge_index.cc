#include "bpe/merge_index.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "bpe/encoder.h"
#include "bpe/utf8.h"

namespace morfex::bpe {
namespace {

// Registers every way of reading a merge key as (left token, TAB, right
// token): the encoder then ranks two adjacent vocabulary tokens by their
// positions, with the same answer as looking up their joined key. On a large
// vocabulary nearly every lookup misses the cache, so readings go in
// batches: all their lookups are hashed and prefetched before any is made.
void index_merge_pairs(const CoreBPE& record, MergeIndex& index) {
  index.merge_pairs.reserve(record.merge_ranks.size());
  const TokenToId& tokens = record.token_to_id;
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
      index.merge_pairs.insert_or_assign(left, right,
                                         {reading.rank, tokens.position_of(joined[i], reading.joined_hash)});
    }
    size = 0;
  };
  auto read_key = [&](std::string_view key, Rank rank) {
    // Symbols are never empty, so a TAB at either end separates nothing.
    for (std::size_t tab = key.find(kMergeSeparator, 1); tab != std::string_view::npos && tab + 1 < key.size();
         tab = key.find(kMergeSeparator, tab + 1)) {
      index.joinable.add(key[tab - 1], key[tab + 1]);
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
  for (const auto& [key, rank] : record.merge_ranks) {
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

void index_char_tokens(const CoreBPE& record, MergeIndex& index) {
  for (auto it = record.token_to_id.begin(); it != record.token_to_id.end(); ++it) {
    const std::string_view token = (*it).first;
    if (token.empty() || char_length(token, 0) != token.size()) continue;
    if (const std::uint32_t scalar = scalar_value(token.data(), token.size()); scalar != kNotScalar) {
      index.char_tokens.set(scalar, it.position());
    }
  }
}

}  // namespace

MergeIndex::MergeIndex(const CoreBPE& record) {
  index_merge_pairs(record, *this);
  index_char_tokens(record, *this);
  // Asks the encoder, which by now has every table it reads for this.
  merges_whole.assign(record.token_to_id.size(), false);
  for (auto it = record.token_to_id.begin(); it != record.token_to_id.end(); ++it) {
    merges_whole[it.position()] = merges_to_itself(record, *this, (*it).first);
  }
  ids_are_positions = true;
  for (std::uint32_t position = 0; position < record.token_to_id.size(); ++position) {
    if (record.token_to_id.value_at(position) != position) ids_are_positions = false;
  }
}

}  // namespace morfex::bpe
