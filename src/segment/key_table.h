#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace morfex::segment {

// An open-addressing map from 64-bit keys (never the maximum value) to
// values, filled once and then only read: a probe is one multiply and a
// short scan of adjacent slots.
template <class Value>
class KeyTable {
 public:
  explicit KeyTable(std::size_t expected = 0)
      : slots_(std::bit_ceil(expected * 2 + 2)), shift_(64 - std::countr_zero(slots_.size())) {}

  // Inserts or overwrites; the table never grows, so `expected` must hold.
  void put(std::uint64_t key, Value value) {
    Slot& slot = slots_[find(key)];
    slot.key = key;
    slot.value = value;
  }

  // The value of `key`, or null.
  const Value* get(std::uint64_t key) const noexcept {
    const Slot& slot = slots_[find(key)];
    return slot.key == key ? &slot.value : nullptr;
  }

 private:
  static constexpr std::uint64_t kEmpty = UINT64_MAX;
  struct Slot {
    std::uint64_t key = kEmpty;
    Value value{};
  };

  std::size_t find(std::uint64_t key) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_) & mask;
    while (slots_[i].key != key && slots_[i].key != kEmpty) i = (i + 1) & mask;
    return i;
  }

  std::vector<Slot> slots_;
  int shift_;
};

}  // namespace morfex::segment
