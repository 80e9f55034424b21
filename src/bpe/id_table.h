#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bpe/slot_index.h"

namespace morfex::bpe {

// Map from 32-bit ids to token strings for the decoder: entries in insertion
// order, their tokens back to back in one arena (no allocation per token),
// indexed by an open-addressing table of positions. Vocabularies mostly
// number their tokens from 0, so ids below twice the size first reserved are
// indexed by a plain array instead, one load per lookup.
class IdTable {
  struct Entry {
    std::uint32_t id;
    std::uint32_t offset;
    std::uint32_t length;
  };

 public:
  using value_type = std::pair<std::uint32_t, std::string_view>;

  class const_iterator {
   public:
    const_iterator(const IdTable* table, std::size_t position) : table_(table), position_(position) {}
    value_type operator*() const {
      const Entry& entry = table_->entries_[position_];
      return {entry.id, table_->token(entry)};
    }
    const_iterator& operator++() noexcept {
      ++position_;
      return *this;
    }
    bool operator==(const const_iterator&) const noexcept = default;

   private:
    const IdTable* table_;
    std::size_t position_;
  };
  using iterator = const_iterator;

  // Room for `entries` entries whose tokens take `bytes` bytes together.
  void reserve(std::size_t entries, std::size_t bytes = 0) {
    if (entries_.empty() && direct_limit_ == 0) direct_limit_ = entries < UINT32_MAX / 2 - 64 ? entries * 2 + 64 : 0;
    arena_.reserve(bytes);
    entries_.reserve(entries);
    index_.reserve(entries, entries_.size(), [this](std::size_t position) { return hash(entries_[position].id); });
  }

  // Adds the entry, or replaces the string of a present id.
  void insert_or_assign(std::uint32_t id, std::string_view token) {
    // Offsets and lengths are stored in 32 bits.
    if (entries_.size() >= UINT32_MAX - 1 || arena_.size() + token.size() >= UINT32_MAX) {
      throw std::length_error("capacity overflow");
    }
    const Entry entry{id, static_cast<std::uint32_t>(arena_.size()), static_cast<std::uint32_t>(token.size())};
    if (const std::size_t present = position_of(id); present != SlotIndex::kNotFound) {
      arena_.append(token);
      entries_[present] = entry;
      return;
    }
    if (id < direct_limit_ && id >= direct_.size()) direct_.resize(id + 1, 0);
    if (id >= direct_limit_ && !index_.has_room(entries_.size())) {
      reserve(entries_.size() < 4 ? 4 : entries_.size() * 2);
    }
    arena_.append(token);
    entries_.push_back(entry);
    // Indexed last, once nothing can fail.
    if (id < direct_limit_) {
      direct_[id] = static_cast<std::uint32_t>(entries_.size());
    } else {
      index_.place(hash(id), entries_.size() - 1);
    }
  }

  std::optional<std::string_view> get(std::uint32_t id) const noexcept {
    const std::size_t position = position_of(id);
    if (position == SlotIndex::kNotFound) return std::nullopt;
    return token(entries_[position]);
  }
  std::string_view at(std::uint32_t id) const {
    const std::optional<std::string_view> found = get(id);
    if (!found) throw std::out_of_range("IdTable::at");
    return *found;
  }

  const_iterator begin() const noexcept { return {this, 0}; }
  const_iterator end() const noexcept { return {this, entries_.size()}; }
  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }

 private:
  // Multiplicative hashing spreads consecutive ids over the whole word.
  static std::uint64_t hash(std::uint32_t id) noexcept {
    const std::uint64_t h = (id + 1ull) * 0x9E3779B97F4A7C15ull;
    return h ^ (h >> 32);
  }

  std::string_view token(const Entry& entry) const noexcept {
    return std::string_view(arena_).substr(entry.offset, entry.length);
  }

  std::size_t position_of(std::uint32_t id) const noexcept {
    if (id < direct_limit_) return id < direct_.size() && direct_[id] != 0 ? direct_[id] - 1 : SlotIndex::kNotFound;
    return index_.find(hash(id), [&](std::size_t candidate) { return entries_[candidate].id == id; });
  }

  std::vector<Entry> entries_;
  std::string arena_;
  SlotIndex index_;
  // Ids below the limit, fixed by the first reservation, are indexed here
  // (position plus one, 0 for none) and never in index_.
  std::uint32_t direct_limit_ = 0;
  std::vector<std::uint32_t> direct_;
};

}  // namespace morfex::bpe
