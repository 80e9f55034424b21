#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "bpe/char_table.h"
#include "bpe/core_bpe.h"
#include "bpe/pair_table.h"

namespace morfex::bpe {

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

// The encoder's tables, derived from a record and read beside it: the merges
// between vocabulary tokens, by token position; the byte pairs that let the
// encoder cut its input into stretches that merge independently; and the
// position of every one-character token, by its scalar value.
struct MergeIndex {
  explicit MergeIndex(const CoreBPE& record);

  PairTable merge_pairs;
  JoinableBytes joinable;
  CharTable char_tokens;
  // By token position: whether the token's own text, merged as a stretch of
  // its own, ends as that one token (see merges_to_itself). A stretch of a
  // text that spells such a token needs no merging.
  std::vector<bool> merges_whole;
  // Whether every token's id is its position in token_to_id, as in a
  // vocabulary listed in id order; the encoder then needs no id lookup.
  bool ids_are_positions = false;

  // The id of the token at `position` of the record's token_to_id.
  TokenId id_at(const CoreBPE& record, std::uint32_t position) const noexcept {
    return ids_are_positions ? position : record.token_to_id.value_at(position);
  }
};

}  // namespace morfex::bpe
