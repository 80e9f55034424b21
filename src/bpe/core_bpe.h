#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "bpe/string_table.h"
#include "bpe/vocabulary.h"

namespace morfex::bpe {

using TokenToId = StringTable<TokenId>;
using MergeRanks = StringTable<Rank>;

// At most four ids (one per special token), so a linear scan beats any hash.
class SpecialIds {
 public:
  void insert(TokenId id) noexcept;
  bool contains(TokenId id) const noexcept;

 private:
  std::array<TokenId, kSpecialTokens.size()> ids_{};
  std::size_t size_ = 0;
};

// The loaded tokenizer as given: a vocabulary and the merges' ranks by key,
// with the special ids and the unknown id they imply. Built once, immutable
// afterwards; the encoder's and the decoder's tables are derived from it.
struct CoreBPE {
  TokenToId token_to_id;
  MergeRanks merge_ranks;
  SpecialIds special_ids;
  TokenId unk_id = kDefaultUnkId;

  // Takes ownership of both inputs. `vocab` keys are distinct by construction.
  static CoreBPE build(TokenToId vocab, MergeList merges);
  // The same, from merge ranks already collected with add_merge.
  static CoreBPE from_ranks(TokenToId vocab, MergeRanks merge_ranks);
};

// Records the pair at position `rank` of a merge list under its merge key
// (left, TAB, right, unescaped); a key already present takes the later rank.
// `key` is scratch space, reused from call to call. Flush `ranks` after the
// last merge.
void add_merge(DeferredInserts<Rank>& ranks, std::string_view left, std::string_view right, Rank rank,
               std::string& key);

}  // namespace morfex::bpe
