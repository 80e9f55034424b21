#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace morfex::bpe {

// The merge list as pairs of vocabulary tokens: for two tokens (by their
// positions in token_to_id) whose joined key has a rank, that rank and the
// position of the joined token (all ones when the vocabulary lacks it). A
// lookup is one 64-bit probe instead of building and hashing a string key.
// Pairs of the first kDense tokens, which in a trained vocabulary are the
// characters and the earliest (most frequent) merges, are also kept in a
// square array: the lookups that every word starts with cost one load there.
class PairTable {
 public:
  struct Merge {
    std::uint32_t rank;
    std::uint32_t merged;
  };
  static constexpr Merge kNoMerge{UINT32_MAX, UINT32_MAX};

  void reserve(std::size_t entries) {
    const std::size_t wanted = std::bit_ceil(entries < 6 ? std::size_t{8} : entries + entries / 3 + 1);
    if (wanted <= slots_.size()) return;
    if (dense_.empty()) dense_.assign(kDense * kDense, kNoMerge);
    std::vector<Slot> old(wanted);
    old.swap(slots_);
    mask_ = wanted - 1;
    for (const Slot& slot : old) {
      if (slot.pair != kEmpty) slots_[free_slot(slot.pair)] = slot;
    }
  }

  void insert_or_assign(std::uint32_t left, std::uint32_t right, Merge merge) {
    const std::uint64_t pair = key(left, right);
    if (Slot* present = const_cast<Slot*>(lookup(pair))) {
      present->merge = merge;
    } else {
      if ((size_ + 1) * 4 > slots_.size() * 3) reserve(size_ < 4 ? 4 : size_ * 2);
      slots_[free_slot(pair)] = {pair, merge};
      ++size_;
    }
    if ((left | right) < kDense) dense_[left * kDense + right] = merge;
  }

  // The merge of the pair, or kNoMerge.
  Merge merge_of(std::uint32_t left, std::uint32_t right) const noexcept {
    // The square array exists once the first slot does.
    if (slots_.empty()) return kNoMerge;
    if ((left | right) < kDense) return dense_[left * kDense + right];
    const Slot* slot = lookup(key(left, right));
    return slot != nullptr ? slot->merge : kNoMerge;
  }

 private:
  // Token positions stay below all ones, so no real pair is all ones.
  static constexpr std::uint64_t kEmpty = UINT64_MAX;
  static constexpr std::uint32_t kDense = 128;

  struct Slot {
    std::uint64_t pair = kEmpty;
    Merge merge{};
  };

  static std::uint64_t key(std::uint32_t left, std::uint32_t right) noexcept {
    return (static_cast<std::uint64_t>(left) << 32) | right;
  }
  static std::uint64_t hash(std::uint64_t pair) noexcept {
    const std::uint64_t h = pair * 0x9E3779B97F4A7C15ull;
    return h ^ (h >> 32);
  }

  const Slot* lookup(std::uint64_t pair) const noexcept {
    if (slots_.empty()) return nullptr;
    for (std::size_t i = hash(pair) & mask_;; i = (i + 1) & mask_) {
      if (slots_[i].pair == pair) return &slots_[i];
      if (slots_[i].pair == kEmpty) return nullptr;
    }
  }

  std::size_t free_slot(std::uint64_t pair) const noexcept {
    std::size_t i = hash(pair) & mask_;
    while (slots_[i].pair != kEmpty) i = (i + 1) & mask_;
    return i;
  }

  std::vector<Slot> slots_;
  std::vector<Merge> dense_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace morfex::bpe
