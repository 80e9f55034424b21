#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace morfex::segment {

// The trainer's nodes, keyed by strings of atom ids: open addressing with
// linear probing and deletion by shifting back, so a lookup is a hash and
// a short scan of adjacent slots. Keys are views the caller keeps alive
// (the trainer's words never move), so storing one allocates nothing; a
// short key is copied into its slot too, as comparing it there spares a
// wait for the memory of some other word.
template <class Value>
class ConstructionTable {
 public:
  using Key = std::u32string_view;

  // A polynomial over the atoms, so the hashes of all prefixes, or of all
  // suffixes, of a word come one from the next (see Rolling), then mixed.
  static constexpr std::uint64_t kBase = 0x100000001B3ull;
  static std::uint64_t mix(std::uint64_t sum, std::size_t size) noexcept {
    std::uint64_t h = (sum ^ size) * 0x9E3779B97F4A7C15ull;
    return h ^ (h >> 29);
  }
  static std::uint64_t hash(Key key) noexcept {
    std::uint64_t sum = 0;
    for (const char32_t atom : key) sum = sum * kBase + atom;
    return mix(sum, key.size());
  }

  Value* find(Key key) noexcept { return find(key, hash(key)); }

  // The same, with the key's hash known.
  Value* find(Key key, std::uint64_t h) noexcept {
    if (size_ == 0) return nullptr;
    for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.data == nullptr) return nullptr;
      if (slot.hash == h && slot.size == key.size() &&
          Key(slot.size <= kInline ? slot.atoms : slot.data, slot.size) == key) {
        return &slot.value;
      }
    }
  }
  const Value* find(Key key) const noexcept { return const_cast<ConstructionTable*>(this)->find(key); }

  // Starts loading the first slot a lookup of the hash `h` reads, so that
  // many lookups known in advance wait for memory at once instead of in turn.
  void prefetch(std::uint64_t h) const noexcept {
    if (!slots_.empty()) __builtin_prefetch(&slots_[h & mask_]);
  }

  // Stores `key`, which must be missing.
  Value& insert(Key key, const Value& value) {
    if ((size_ + 1) * 2 > slots_.size()) grow();
    ++size_;
    return place(hash(key), key, value);
  }

  // Removes the entry whose value `value` points to.
  void erase(Value* value) noexcept {
    std::size_t hole = static_cast<std::size_t>(reinterpret_cast<Slot*>(reinterpret_cast<char*>(value) -
                                                                        offsetof(Slot, value)) -
                                                slots_.data());
    --size_;
    for (std::size_t i = (hole + 1) & mask_; slots_[i].data != nullptr; i = (i + 1) & mask_) {
      // An entry may fill the hole unless its home lies cyclically in (hole, i].
      const std::size_t home = slots_[i].hash & mask_;
      if (((i - home) & mask_) >= ((i - hole) & mask_)) {
        slots_[hole] = slots_[i];
        hole = i;
      }
    }
    slots_[hole] = Slot{};
  }

  template <class Visit>
  void for_each(Visit&& visit) const {
    for (const Slot& slot : slots_) {
      if (slot.data != nullptr) visit(Key(slot.data, slot.size), slot.value);
    }
  }

 private:
  static constexpr std::size_t kInline = 5;
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t size = 0;
    char32_t atoms[kInline] = {};    // the key, when it is this short
    const char32_t* data = nullptr;  // null: an empty slot
    Value value{};
  };

  Value& place(std::uint64_t h, Key key, const Value& value) {
    std::size_t i = h & mask_;
    while (slots_[i].data != nullptr) i = (i + 1) & mask_;
    Slot& slot = slots_[i];
    slot = Slot{h, static_cast<std::uint32_t>(key.size()), {}, key.data(), value};
    if (key.size() <= kInline) key.copy(slot.atoms, key.size());
    return slot.value;
  }

  void grow() {
    std::vector<Slot> old(std::max<std::size_t>(16, slots_.size() * 2));
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.data != nullptr) place(slot.hash, Key(slot.data, slot.size), slot.value);
    }
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace morfex::segment
