#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bpe/core_bpe.h"
#include "bpe/small_vector.h"
#include "bpe/utf8.h"

namespace morfex::bpe {

struct Model;

// Room for a word's text without allocating.
using TextBuffer = SmallVector<char, 256>;

// The decode rule, as a table of what each id adds to decoded text: its
// token with every boundary marker deleted, and nothing for a special token
// or an id the vocabulary lacks. Deleting markers token by token gives the
// same text as deleting them from the joined text, since a marker is a whole
// character and every token is made of whole characters. So decoding is a
// plain concatenation.
class Decoder {
 public:
  // When several tokens share an id, the id spells the last of them in the
  // vocabulary's own order.
  explicit Decoder(const CoreBPE& record);

  // Appends the text that the ids decode to, and returns its shape.
  TextShape join(std::span<const TokenId> ids, TextBuffer& text) const;

 private:
  // A short spelling is copied as one fixed-size block of this many bytes,
  // whatever its length.
  static constexpr std::size_t kBlock = 16;
  static constexpr std::size_t kInline = 12;
  // Ids joined per batch, so that a word's blocks fit TextBuffer's inline room.
  static constexpr std::size_t kBatch = 15;

  static constexpr std::uint8_t kInArena = 0xFF;

  // A short spelling lies in the entry itself, so looking it up costs one
  // memory access; a longer one lies in the arena, and `text` holds an
  // ArenaSpelling. Either way the entry gives the spelling's shape. Aligned,
  // an entry never straddles two cache lines.
  struct alignas(kBlock) Entry {
    char text[kInline];
    std::uint8_t length;  // of an inline spelling, or kInArena
    std::uint8_t chars;  // of an inline spelling
    Width width;
  };
  static_assert(sizeof(Entry) == kBlock && offsetof(Entry, text) == 0);
  struct ArenaSpelling {
    std::uint32_t offset;
    std::uint32_t length;
    std::uint32_t chars;
  };
  static_assert(sizeof(ArenaSpelling) == kInline);
  static ArenaSpelling in_arena(const Entry& entry) noexcept;

  const Entry& sparse(TokenId id) const noexcept;

  // Ids below twice the vocabulary size, by id; any larger ones sorted by id.
  std::vector<Entry> dense_;
  std::vector<std::pair<TokenId, Entry>> sparse_;
  std::string arena_;
};

// Appends to `text` the token strings of the ids joined, without special
// and unknown ids and without any boundary marker; returns the shape of
// what it appended.
TextShape decode(const Model& model, std::span<const TokenId> ids, TextBuffer& text);
std::string decode(const Model& model, std::span<const TokenId> ids);

}  // namespace morfex::bpe
