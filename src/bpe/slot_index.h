#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace morfex::bpe {

// Open-addressing index over entries kept elsewhere in insertion order. A slot
// holds a 32-bit hash tag and the entry's position plus one (0 marks an empty
// slot), so most probes that miss never touch the entries; linear probing at
// a load of at most one half keeps the probe runs short.
class SlotIndex {
 public:
  static constexpr std::size_t kNotFound = ~std::size_t{0};

  // Sizes the index for `entries` entries; `hash_of(position)` re-hashes
  // the entries already indexed (there are `count` of them).
  template <class HashOf>
  void reserve(std::size_t entries, std::size_t count, HashOf&& hash_of) {
    const std::size_t wanted = std::bit_ceil(entries < 4 ? std::size_t{8} : entries * 2);
    if (wanted <= slots_.size()) return;
    slots_.assign(wanted, 0);
    mask_ = wanted - 1;
    for (std::size_t position = 0; position < count; ++position) place(hash_of(position), position);
  }

  // Whether one more entry than `count` still fits at a load of one half.
  bool has_room(std::size_t count) const noexcept { return (count + 1) * 2 <= slots_.size(); }

  // The position of the first entry with this hash that `matches`, or kNotFound.
  template <class Matches>
  std::size_t find(std::uint64_t hash, Matches&& matches) const noexcept {
    if (slots_.empty()) return kNotFound;
    const std::uint64_t tag = hash >> 32;
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const std::uint64_t slot = slots_[i];
      if (slot == 0) return kNotFound;
      if ((slot >> 32) == tag) {
        const std::size_t position = static_cast<std::uint32_t>(slot) - 1;
        if (matches(position)) return position;
      }
    }
  }

  // Indexes a new entry; the caller has made room and checked it is absent.
  void place(std::uint64_t hash, std::size_t position) noexcept {
    std::size_t i = hash & mask_;
    while (slots_[i] != 0) i = (i + 1) & mask_;
    slots_[i] = (hash >> 32 << 32) | (position + 1);
  }

 private:
  std::vector<std::uint64_t> slots_;
  std::size_t mask_ = 0;
};

}  // namespace morfex::bpe
