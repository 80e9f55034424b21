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
// order, indexed by an open-addressing table of positions. Vocabularies mostly
// number their tokens from 0, so ids below twice the size first reserved are
// indexed by a plain array instead, one load per lookup.
class IdTable {
 public:
  using value_type = std::pair<std::uint32_t, std::string>;
  using const_iterator = std::vector<value_type>::const_iterator;
  using iterator = const_iterator;

  void reserve(std::size_t entries) {
    if (entries_.empty() && direct_limit_ == 0) direct_limit_ = entries < UINT32_MAX / 2 - 64 ? entries * 2 + 64 : 0;
    entries_.reserve(entries);
    index_.reserve(entries, entries_.size(), [this](std::size_t position) { return hash(entries_[position].first); });
  }

  // Adds the entry, or replaces the string of a present id.
  void insert_or_assign(std::uint32_t id, std::string token) {
    if (const std::size_t present = position_of(id); present != SlotIndex::kNotFound) {
      entries_[present].second = std::move(token);
      return;
    }
    if (entries_.size() >= UINT32_MAX - 1) throw std::length_error("capacity overflow");
    if (id < direct_limit_) {
      if (id >= direct_.size()) direct_.resize(id + 1, 0);
      direct_[id] = static_cast<std::uint32_t>(entries_.size() + 1);
      entries_.emplace_back(id, std::move(token));
      return;
    }
    const std::uint64_t id_hash = hash(id);
    if (!index_.has_room(entries_.size())) reserve(entries_.size() < 4 ? 4 : entries_.size() * 2);
    index_.place(id_hash, entries_.size());
    entries_.emplace_back(id, std::move(token));
  }

  const std::string* get(std::uint32_t id) const noexcept {
    const std::size_t position = position_of(id);
    return position == SlotIndex::kNotFound ? nullptr : &entries_[position].second;
  }
  const_iterator find(std::uint32_t id) const noexcept {
    const std::size_t position = position_of(id);
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

  std::size_t position_of(std::uint32_t id) const noexcept {
    if (id < direct_limit_) return id < direct_.size() && direct_[id] != 0 ? direct_[id] - 1 : SlotIndex::kNotFound;
    return index_.find(hash(id), [&](std::size_t candidate) { return entries_[candidate].first == id; });
  }

  std::vector<value_type> entries_;
  SlotIndex index_;
  // Ids below the limit, fixed by the first reservation, are indexed here
  // (position plus one, 0 for none) and never in index_.
  std::uint32_t direct_limit_ = 0;
  std::vector<std::uint32_t> direct_;
};

}  // namespace morfex::bpe
