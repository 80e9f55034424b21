#include "bpe/spellings.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "bpe/core_bpe.h"

namespace morfex::bpe {
namespace {

// The dense part covers ids below this bound.
std::size_t dense_limit(std::size_t tokens) noexcept { return tokens < UINT32_MAX / 2 - 64 ? tokens * 2 + 64 : 0; }

}  // namespace

Spellings::Spellings(const StringTable<std::uint32_t>& vocab, const SpecialIds& specials) {
  const std::size_t limit = dense_limit(vocab.size());
  std::size_t dense_size = 0;
  std::size_t long_bytes = kBlock;
  for (const auto& [token, id] : vocab) {
    if (id < limit && id >= dense_size) dense_size = std::size_t{id} + 1;
    if (token.size() > kInline) long_bytes += token.size();
  }
  // Offsets are stored in 32 bits.
  if (long_bytes >= UINT32_MAX) throw std::length_error("capacity overflow");
  dense_.assign(dense_size, Entry{});
  arena_.reserve(long_bytes);
  std::string spelling;
  for (const auto& [token, id] : vocab) {
    if (specials.contains(id)) continue;
    spelling.clear();
    for (std::size_t start = 0;;) {
      const std::size_t marker = token.find(kBoundaryMarker, start);
      spelling.append(token.substr(start, marker - start));
      if (marker == std::string_view::npos) break;
      start = marker + kBoundaryMarker.size();
    }
    Entry entry{};
    entry.length = static_cast<std::uint32_t>(spelling.size());
    if (spelling.size() <= kInline) {
      std::memcpy(entry.text, spelling.data(), spelling.size());
    } else {
      const auto offset = static_cast<std::uint32_t>(arena_.size());
      std::memcpy(entry.text, &offset, sizeof offset);
      arena_.append(spelling);
    }
    if (id < dense_size) {
      dense_[id] = entry;
    } else {
      sparse_.emplace_back(id, entry);
    }
  }
  // Sorted by id, keeping the last entry of each id.
  std::stable_sort(sparse_.begin(), sparse_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  const auto last_of_each = std::unique(sparse_.rbegin(), sparse_.rend(),
                                        [](const auto& a, const auto& b) { return a.first == b.first; });
  sparse_.erase(sparse_.begin(), last_of_each.base());
  arena_.append(kBlock, '\0');
}

std::size_t Spellings::joined_length(std::span<const std::uint32_t> ids) const noexcept {
  std::size_t length = 0;
  for (const std::uint32_t id : ids) length += entry(id).length;
  return length;
}

void Spellings::join(std::span<const std::uint32_t> ids, char* out) const noexcept {
  // Held in locals: the byte stores below could otherwise alias the members.
  const Entry* const dense = dense_.data();
  const std::size_t dense_size = dense_.size();
  const char* const arena = arena_.data();
  for (const std::uint32_t id : ids) {
    const Entry& found = id < dense_size ? dense[id] : sparse(id);
    // An inline spelling starts the entry, so the entry's own kBlock bytes are read.
    const char* from = reinterpret_cast<const char*>(&found);
    if (found.length > kInline) {
      std::uint32_t offset;
      std::memcpy(&offset, found.text, sizeof offset);
      from = arena + offset;
    }
    // Most spellings are a few bytes: one fixed-size copy, the bytes after them included.
    if (found.length <= kBlock) {
      std::memcpy(out, from, kBlock);
    } else {
      std::memcpy(out, from, found.length);
    }
    out += found.length;
  }
}

const Spellings::Entry& Spellings::sparse(std::uint32_t id) const noexcept {
  static constexpr Entry kNothing{};
  const auto found = std::lower_bound(sparse_.begin(), sparse_.end(), id,
                                      [](const auto& entry, std::uint32_t wanted) { return entry.first < wanted; });
  return found != sparse_.end() && found->first == id ? found->second : kNothing;
}

}  // namespace morfex::bpe
