#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bpe/slot_index.h"

namespace morfex::bpe {

// Map from 32-bit ids to token strings for the decoder: entries in insertion
// order, indexed by an open-addressing table of positions.
class IdTable {
 public:
  using value_type = std::pair<std::uint32_t, std::string>;
  using const_iterator = std::vector<value_type>::const_iterator;
  using iterator = const_iterator;

  void reserve(std::size_t entries) {
    entries_.reserve(entries);
    index_.reserve(entries, entries_.size(), [this](std::size_t position) { return hash(entries_[position].first); });
  }

  // Adds the entry, or replaces the string of a present id.
  void insert_or_assign(std::uint32_t id, std::string token) {
    const std::uint64_t id_hash = hash(id);
    if (const std::size_t present = position_of(id, id_hash); present != SlotIndex::kNotFound) {
      entries_[present].second = std::move(token);
      return;
    }
    if (entries_.size() >= UINT32_MAX - 1) throw std::length_error("capacity overflow");
    if (!index_.has_room(entries_.size())) reserve(entries_.size() < 4 ? 4 : entries_.size() * 2);
    index_.place(id_hash, entries_.size());
    entries_.emplace_back(id, std::move(token));
  }

  const std::string* get(std::uint32_t id) const noexcept { return get(id, hash(id)); }
  const_iterator find(std::uint32_t id) const noexcept {
    const std::size_t position = position_of(id, hash(id));
    return position == SlotIndex::kNotFound ? entries_.end() : entries_.begin() + static_cast<std::ptrdiff_t>(position);
  }
  const std::string& at(std::uint32_t id) const {
    const std::string* token = get(id);
    if (token == nullptr) throw std::out_of_range("IdTable::at");
    return *token;
  }

  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }
  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }

 private:
  // Multiplicative hashing spreads consecutive ids over the whole word.
  static std::uint64_t hash(std::uint32_t id) noexcept {
    const std::uint64_t h = (id + 1ull) * 0x9E3779B97F4A7C15ull;
    return h ^ (h >> 32);
  }

  std::size_t position_of(std::uint32_t id, std::uint64_t id_hash) const noexcept {
    return index_.find(id_hash, [&](std::size_t candidate) { return entries_[candidate].first == id; });
  }
  const std::string* get(std::uint32_t id, std::uint64_t id_hash) const noexcept {
    const std::size_t position = position_of(id, id_hash);
    return position == SlotIndex::kNotFound ? nullptr : &entries_[position].second;
  }

  std::vector<value_type> entries_;
  SlotIndex index_;
};

}  // namespace morfex::bpe
