#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bpe/hash.h"

namespace morfex::bpe {

// Map from byte strings to small values for the hot lookups: open addressing
// with linear probing at a load of at most three quarters, so that a trained
// model's tables stay in cache. Each slot carries the key's first eight bytes,
// its length and a hash tag, so a probe for a short key touches one slot and
// nothing else; longer keys keep their bytes in one arena. A hundred thousand
// keys cost a few allocations, not one per key. Values are kept apart, in
// insertion order, so a key's position is a dense number and reading the
// value of a known position touches a small array.
template <class Value>
class StringTable {
  static constexpr std::uint32_t kEmpty = UINT32_MAX;
  static constexpr std::size_t kHeadSize = sizeof(std::uint64_t);

  struct Slot {
    std::uint64_t head;  // the key's first bytes, zero-padded
    std::uint32_t length = kEmpty;
    std::uint32_t tag;
    std::uint32_t offset;  // of the whole key in the arena, for keys longer than the head
    std::uint32_t position;  // of the value
  };

 public:
  using value_type = std::pair<std::string_view, Value>;

  class const_iterator {
   public:
    const_iterator() = default;
    const_iterator(const StringTable* table, std::size_t slot) : table_(table), slot_(skip_empty(table, slot)) {}
    value_type operator*() const {
      const Slot& slot = table_->slots_[slot_];
      return {table_->key(slot), table_->values_[slot.position]};
    }
    // The key's position (see position_of), without looking the key up again.
    std::uint32_t position() const noexcept { return table_->slots_[slot_].position; }
    const_iterator& operator++() noexcept {
      slot_ = skip_empty(table_, slot_ + 1);
      return *this;
    }
    bool operator==(const const_iterator&) const noexcept = default;

   private:
    static std::size_t skip_empty(const StringTable* table, std::size_t slot) noexcept {
      while (slot < table->slots_.size() && table->slots_[slot].length == kEmpty) ++slot;
      return slot;
    }
    const StringTable* table_ = nullptr;
    std::size_t slot_ = 0;
  };

  void reserve(std::size_t entries) {
    values_.reserve(entries);
    const std::size_t wanted = std::bit_ceil(entries < 6 ? std::size_t{8} : entries + entries / 3 + 1);
    if (wanted <= slots_.size()) return;
    // Positions are handed out as 32-bit numbers.
    if (wanted >= kNoPosition) throw std::length_error("capacity overflow");
    std::vector<Slot> old(wanted);
    old.swap(slots_);
    mask_ = wanted - 1;
    for (const Slot& slot : old) {
      if (slot.length != kEmpty) slots_[free_slot(hash_of(key(slot)))] = slot;
    }
  }

  const Value* get(std::string_view key) const noexcept {
    const Slot* slot = lookup(key);
    return slot == nullptr ? nullptr : &values_[slot->position];
  }

  // A key's position: the number of keys added before it, so always below
  // size() and kNoPosition.
  static constexpr std::uint32_t kNoPosition = UINT32_MAX;
  std::uint32_t position_of(std::string_view key) const noexcept {
    const Slot* slot = lookup(key);
    return slot == nullptr ? kNoPosition : slot->position;
  }
  const Value& value_at(std::uint32_t position) const noexcept { return values_[position]; }

  // For looking up many keys at once: hash each key and prefetch its slot
  // first, then look them up by their hashes, so that the cache misses of a
  // large table overlap instead of following one another.
  static std::uint64_t hash_of(std::string_view key) noexcept { return StringHash{}(key); }
  void prefetch(std::uint64_t key_hash) const noexcept {
    if (!slots_.empty()) __builtin_prefetch(&slots_[key_hash & mask_]);
  }
  std::uint32_t position_of(std::string_view key, std::uint64_t key_hash) const noexcept {
    const Slot* slot = lookup(key, key_hash);
    return slot == nullptr ? kNoPosition : slot->position;
  }
  // Adds the entry, or gives a present key the new value.
  void insert_or_assign(std::string_view key, Value value, std::uint64_t key_hash) {
    // One hash and one probe for both the search and the insertion.
    std::size_t slot = slots_.empty() ? 0 : probe(key, key_hash);
    if (!slots_.empty() && slots_[slot].length != kEmpty) {
      values_[slots_[slot].position] = value;
      return;
    }
    // Lengths and arena offsets are stored in 32 bits.
    if (key.size() >= kEmpty || arena_.size() + key.size() >= kEmpty) throw std::length_error("capacity overflow");
    if ((size_ + 1) * 4 > slots_.size() * 3) {
      reserve(size_ < 4 ? 4 : size_ * 2);
      slot = free_slot(key_hash);
    }
    Slot fresh;
    fresh.head = head_of(key);
    fresh.length = static_cast<std::uint32_t>(key.size());
    fresh.tag = static_cast<std::uint32_t>(key_hash >> 32);
    fresh.offset = static_cast<std::uint32_t>(arena_.size());
    fresh.position = static_cast<std::uint32_t>(values_.size());
    values_.push_back(value);
    if (key.size() > kHeadSize) arena_.append(key);
    slots_[slot] = fresh;
    ++size_;
    if (key.size() > longest_key_) longest_key_ = key.size();
  }

  const_iterator begin() const noexcept { return {this, 0}; }
  const_iterator end() const noexcept { return {this, slots_.size()}; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  // No key is longer than this, so longer probes can be answered at once.
  std::size_t longest_key() const noexcept { return longest_key_; }

 private:
  // Fixed-size loads only (overlapping for lengths 4 to 7), which compile to plain moves.
  static std::uint64_t head_of(std::string_view key) noexcept {
    const char* p = key.data();
    const std::size_t n = key.size();
    if (n >= kHeadSize) return StringHash::load(p, 8);
    if (n >= 4) return StringHash::load(p, 4) | (StringHash::load(p + n - 4, 4) << ((n - 4) * 8));
    std::uint64_t head = 0;
    for (std::size_t i = 0; i < n; ++i) head |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    return head;
  }

  std::string_view key(const Slot& slot) const noexcept {
    if (slot.length <= kHeadSize) return std::string_view(reinterpret_cast<const char*>(&slot.head), slot.length);
    return std::string_view(arena_).substr(slot.offset, slot.length);
  }

  const Slot* lookup(std::string_view key) const noexcept {
    // A key longer than any in the table is answered before it is hashed.
    return key.size() > longest_key_ ? nullptr : lookup(key, hash_of(key));
  }
  const Slot* lookup(std::string_view key, std::uint64_t key_hash) const noexcept {
    if (key.size() > longest_key_ || slots_.empty()) return nullptr;
    const std::size_t i = probe(key, key_hash);
    return slots_[i].length == kEmpty ? nullptr : &slots_[i];
  }

  // The slot that holds the key, or else the empty slot that ends its probe
  // sequence (where an insertion would go). The table has a slot.
  std::size_t probe(std::string_view key, std::uint64_t key_hash) const noexcept {
    const auto tag = static_cast<std::uint32_t>(key_hash >> 32);
    const auto length = static_cast<std::uint32_t>(key.size());
    const std::uint64_t head = head_of(key);
    for (std::size_t i = key_hash & mask_;; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.length == kEmpty) return i;
      if (slot.tag == tag && slot.length == length && slot.head == head &&
          (length <= kHeadSize ||
           same_bytes(arena_.data() + slot.offset + kHeadSize, key.data() + kHeadSize, length - kHeadSize))) {
        return i;
      }
    }
  }

  std::size_t free_slot(std::uint64_t key_hash) const noexcept {
    std::size_t i = key_hash & mask_;
    while (slots_[i].length != kEmpty) i = (i + 1) & mask_;
    return i;
  }

  std::vector<Slot> slots_;
  std::vector<Value> values_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
  std::string arena_;
  std::size_t longest_key_ = 0;
};

// Fills a table one key behind: a key is hashed and its slot prefetched when
// it is given, and inserted only when the next key is (or at flush), so that
// on a table too large for the cache the miss overlaps whatever the caller
// does in between. The key is copied, so it need not outlive the call.
template <class Value>
class DeferredInserts {
 public:
  explicit DeferredInserts(StringTable<Value>& table) noexcept : table_(table) {}

  // table.insert_or_assign(key, value), in effect by the next call or flush().
  void insert_or_assign(std::string_view key, Value value) {
    const std::uint64_t key_hash = StringTable<Value>::hash_of(key);
    table_.prefetch(key_hash);
    flush();
    key_.assign(key);
    value_ = value;
    hash_ = key_hash;
    pending_ = true;
  }

  void flush() {
    if (!pending_) return;
    table_.insert_or_assign(key_, value_, hash_);
    pending_ = false;
  }

 private:
  StringTable<Value>& table_;
  std::string key_;
  Value value_{};
  std::uint64_t hash_ = 0;
  bool pending_ = false;
};

}  // namespace morfex::bpe
