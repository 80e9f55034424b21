#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bpe/char_table.h"
#include "bpe/pair_table.h"
#include "bpe/spellings.h"
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
  bool empty() const noexcept { return size_ == 0; }
  std::size_t size() const noexcept { return size_; }

 private:
  std::array<TokenId, kSpecialTokens.size()> ids_{};
  std::size_t size_ = 0;
};

// The byte pairs (x, y) that stand around a TAB inside some merge key. Two
// adjacent symbols can only merge when their key holds the last byte of the
// left one, a TAB and the first byte of the right one, so the text can never
// be joined between two characters whose bytes there form no such pair.
class JoinableBytes {
 public:
  // Records a key that holds byte `last`, a TAB and byte `first`.
  void add(char last, char first) noexcept {
    pairs_[static_cast<unsigned char>(last) * 256u + static_cast<unsigned char>(first)] = true;
  }
  // Whether some key can join the characters that meet at byte `pos` (> 0) of `text`.
  bool joins_at(std::string_view text, std::size_t pos) const noexcept {
    return pairs_[static_cast<unsigned char>(text[pos - 1]) * 256u + static_cast<unsigned char>(text[pos])];
  }

 private:
  std::bitset<256 * 256> pairs_;
};

// The loaded tokenizer: built once from a vocabulary and an ordered merge
// list, immutable afterwards.
struct CoreBPE {
  TokenToId token_to_id;
  MergeRanks merge_ranks;
  SpecialIds special_ids;
  TokenId unk_id = kDefaultUnkId;
  // Derived from merge_ranks and token_to_id: the merges between vocabulary
  // tokens, by token position; the byte pairs that let the encoder cut its
  // input into stretches that merge independently; and the position of every
  // one-character token, by its scalar value.
  PairTable merge_pairs;
  JoinableBytes joinable;
  CharTable char_tokens;
  // By token position: whether the token's own text, merged as a stretch of
  // its own, ends as that one token (see merges_to_itself). A stretch of a
  // text that spells such a token needs no merging.
  std::vector<bool> merges_whole;
  // What each id adds to decoded text, from token_to_id and special_ids.
  Spellings spellings;
  // Whether every token's id is its position in token_to_id, as in a
  // vocabulary listed in id order; the encoder then needs no id lookup.
  bool ids_are_positions = false;

  // The id of the token at `position` of token_to_id.
  TokenId id_at(std::uint32_t position) const noexcept {
    return ids_are_positions ? position : token_to_id.value_at(position);
  }

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
