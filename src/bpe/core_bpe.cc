#include "bpe/core_bpe.h"

#include <string>
#include <string_view>
#include <utility>

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
  if (!bpe.token_to_id.empty()) {
    for (const char* special : kSpecialTokens) {
      if (const TokenId* id = bpe.token_to_id.get(special)) bpe.special_ids.insert(*id);
    }
  }
  if (const TokenId* id = bpe.token_to_id.get(kUnknownToken)) bpe.unk_id = *id;
  return bpe;
}

}  // namespace morfex::bpe
