#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bpe/hash.h"
#include "bpe/slot_index.h"

namespace morfex::bpe {

// Map from byte strings to small values for the hot lookups. All key bytes
// live in one arena and entries stay in insertion order, so a table of a
// hundred thousand short keys costs a few allocations instead of one node per
// key, and a std::string_view lookup allocates nothing.
template <class Value>
class StringTable {
  struct Entry {
    std::size_t offset;
    std::size_t length;
    Value value;
  };

 public:
  using value_type = std::pair<std::string_view, Value>;

  class const_iterator {
   public:
    const_iterator() = default;
    const_iterator(const StringTable* table, std::size_t position) : table_(table), position_(position) {}
    value_type operator*() const { return {table_->key(position_), table_->entries_[position_].value}; }
    // Entries hold no pair to point at, so -> hands out a pair that lives as long as the expression.
    struct Arrow {
      value_type pair;
      const value_type* operator->() const noexcept { return &pair; }
    };
    Arrow operator->() const { return {**this}; }
    const_iterator& operator++() noexcept {
      ++position_;
      return *this;
    }
    bool operator==(const const_iterator&) const noexcept = default;

   private:
    const StringTable* table_ = nullptr;
    std::size_t position_ = 0;
  };
  using iterator = const_iterator;

  StringTable() = default;
  template <class InputIt>
  StringTable(InputIt first, InputIt last) {
    for (; first != last; ++first) emplace(first->first, first->second);
  }
  StringTable(std::initializer_list<std::pair<const std::string, Value>> entries)
      : StringTable(entries.begin(), entries.end()) {}

  void reserve(std::size_t entries) {
    entries_.reserve(entries);
    index_.reserve(entries, entries_.size(), [this](std::size_t position) { return hash(key(position)); });
  }

  // Adds the entry unless the key is present; reports where the key is and whether it was added.
  std::pair<const_iterator, bool> emplace(std::string_view key, Value value) { return insert(key, value, false); }
  // Adds the entry, or gives a present key the new value.
  std::pair<const_iterator, bool> insert_or_assign(std::string_view key, Value value) {
    return insert(key, value, true);
  }

  const_iterator find(std::string_view key) const noexcept { return {this, position_of(key, hash(key))}; }
  // Lookup with a hash computed once by the caller (see hash()).
  const Value* get(std::string_view key, std::uint64_t key_hash) const noexcept {
    const std::size_t position = position_of(key, key_hash);
    return position == entries_.size() ? nullptr : &entries_[position].value;
  }
  const Value* get(std::string_view key) const noexcept { return get(key, hash(key)); }
  bool contains(std::string_view key) const noexcept { return get(key) != nullptr; }
  const Value& at(std::string_view key) const {
    const Value* value = get(key);
    if (value == nullptr) throw std::out_of_range("StringTable::at");
    return *value;
  }

  static std::uint64_t hash(std::string_view key) noexcept { return StringHash{}(key); }

  const_iterator begin() const noexcept { return {this, 0}; }
  const_iterator end() const noexcept { return {this, entries_.size()}; }
  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  // No key is longer than this, so longer probes can be answered at once.
  std::size_t longest_key() const noexcept { return longest_key_; }

 private:
  std::string_view key(std::size_t position) const noexcept {
    return std::string_view(arena_).substr(entries_[position].offset, entries_[position].length);
  }

  std::size_t position_of(std::string_view key, std::uint64_t key_hash) const noexcept {
    if (key.size() > longest_key_) return entries_.size();
    const std::size_t position =
        index_.find(key_hash, [&](std::size_t candidate) { return this->key(candidate) == key; });
    return position == SlotIndex::kNotFound ? entries_.size() : position;
  }

  std::pair<const_iterator, bool> insert(std::string_view key, Value value, bool assign) {
    const std::uint64_t key_hash = hash(key);
    if (const std::size_t found = position_of(key, key_hash); found != entries_.size()) {
      if (assign) entries_[found].value = value;
      return {{this, found}, false};
    }
    // Positions are stored in 32 bits beside the hash tag.
    if (entries_.size() >= UINT32_MAX - 1) throw std::length_error("capacity overflow");
    if (!index_.has_room(entries_.size())) reserve(entries_.size() < 4 ? 4 : entries_.size() * 2);
    const std::size_t position = entries_.size();
    entries_.push_back({arena_.size(), key.size(), value});
    arena_.append(key);
    index_.place(key_hash, position);
    if (key.size() > longest_key_) longest_key_ = key.size();
    return {{this, position}, true};
  }

  std::vector<Entry> entries_;
  std::string arena_;
  SlotIndex index_;
  std::size_t longest_key_ = 0;
};

}  // namespace morfex::bpe
