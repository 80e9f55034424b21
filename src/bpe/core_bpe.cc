#include "bpe/core_bpe.h"

#include <algorithm>
#include <string_view>

namespace morfex::bpe {

void SpecialIds::insert(TokenId id) noexcept {
  if (!contains(id) && size_ < ids_.size()) ids_[size_++] = id;
}

bool SpecialIds::contains(TokenId id) const noexcept {
  return std::find(ids_.begin(), ids_.begin() + size_, id) != ids_.begin() + size_;
}

CoreBPE CoreBPE::build(TokenToId vocab, MergeList merges) {
  CoreBPE bpe;
  bpe.token_to_id = std::move(vocab);

  if (!bpe.token_to_id.empty()) bpe.id_to_token.reserve(bpe.token_to_id.size());
  for (const auto& [token, id] : bpe.token_to_id) bpe.id_to_token.insert_or_assign(id, token);

  if (!merges.empty()) bpe.merge_ranks.reserve(merges.size());
  Rank rank = 0;
  for (auto& [left, right] : merges) {
    // The key is built in the left string's own storage; the right one goes at once.
    left.push_back(kMergeSeparator);
    left.append(right);
    std::string().swap(right);
    bpe.merge_ranks.insert_or_assign(std::move(left), rank);
    ++rank;
  }
  MergeList().swap(merges);

  if (!bpe.token_to_id.empty()) {
    for (const char* special : kSpecialTokens) {
      if (auto it = bpe.token_to_id.find(std::string_view(special)); it != bpe.token_to_id.end()) {
        bpe.special_ids.insert(it->second);
      }
    }
  }
  if (auto it = bpe.token_to_id.find(std::string_view("<unk>")); it != bpe.token_to_id.end()) {
    bpe.unk_id = it->second;
  }
  return bpe;
}

}  // namespace morfex::bpe
