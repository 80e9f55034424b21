#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bpe/string_table.h"

namespace morfex::bpe {

class SpecialIds;

// What each id adds to decoded text: its token with every boundary marker
// deleted, and nothing for a special token or an id the vocabulary lacks.
// Deleting markers token by token gives the same text as deleting them from
// the joined text, since a marker is a whole character and every token is
// made of whole characters. So decoding is a plain concatenation.
class Spellings {
 public:
  // At least this many bytes can be read from the start of any spelling, so
  // a short one can be copied as one fixed-size block.
  static constexpr std::size_t kBlock = 16;

  Spellings() = default;
  // When several tokens share an id, the id spells the last of them in the
  // vocabulary's own order.
  Spellings(const StringTable<std::uint32_t>& vocab, const SpecialIds& specials);

  // The length of the text that the ids decode to.
  std::size_t joined_length(std::span<const std::uint32_t> ids) const noexcept;
  // Writes that text to `out`, which has room for kBlock bytes more than it.
  void join(std::span<const std::uint32_t> ids, char* out) const noexcept;

 private:
  static constexpr std::size_t kInline = 12;

  // A short spelling lies in the entry itself, so looking it up costs one
  // memory access; a longer one lies in the arena, at the offset kept in `text`.
  struct Entry {
    char text[kInline];
    std::uint32_t length;
  };
  static_assert(sizeof(Entry) == kBlock && offsetof(Entry, text) == 0);

  const Entry& sparse(std::uint32_t id) const noexcept;
  const Entry& entry(std::uint32_t id) const noexcept { return id < dense_.size() ? dense_[id] : sparse(id); }

  // Ids below twice the vocabulary size, by id; any larger ones sorted by id.
  std::vector<Entry> dense_;
  std::vector<std::pair<std::uint32_t, Entry>> sparse_;
  std::string arena_;
};

}  // namespace morfex::bpe
