#include "bpe/decoder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "bpe/model.h"

namespace morfex::bpe {
namespace {

// The dense part covers ids below this bound.
std::size_t dense_limit(std::size_t tokens) noexcept { return tokens < UINT32_MAX / 2 - 64 ? tokens * 2 + 64 : 0; }

}  // namespace

Decoder::Decoder(const CoreBPE& record) {
  const TokenToId& vocab = record.token_to_id;
  const std::size_t limit = dense_limit(vocab.size());
  std::size_t dense_size = 0;
  std::size_t long_bytes = 0;
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
    if (record.special_ids.contains(id)) continue;
    spelling.clear();
    for (std::size_t start = 0;;) {
      const std::size_t marker = token.find(kBoundaryMarker, start);
      spelling.append(token.substr(start, marker - start));
      if (marker == std::string_view::npos) break;
      start = marker + kBoundaryMarker.size();
    }
    const TextShape shape = shape_of(spelling);
    Entry entry{};
    entry.width = shape.widest;
    if (spelling.size() <= kInline) {
      std::memcpy(entry.text, spelling.data(), spelling.size());
      entry.length = static_cast<std::uint8_t>(spelling.size());
      entry.chars = static_cast<std::uint8_t>(shape.chars);
    } else {
      // The arena's whole size fits 32 bits (checked above), so these do too.
      const ArenaSpelling where{static_cast<std::uint32_t>(arena_.size()), static_cast<std::uint32_t>(spelling.size()),
                                static_cast<std::uint32_t>(shape.chars)};
      std::memcpy(entry.text, &where, sizeof where);
      entry.length = kInArena;
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
}

Decoder::ArenaSpelling Decoder::in_arena(const Entry& entry) noexcept {
  ArenaSpelling where;
  std::memcpy(&where, entry.text, sizeof where);
  return where;
}

TextShape Decoder::join(std::span<const TokenId> ids, TextBuffer& text) const {
  // Held in locals: the byte stores below could otherwise alias the members.
  const Entry* const dense = dense_.data();
  const std::size_t dense_size = dense_.size();
  std::size_t chars = 0;
  Width widest = Width::kAscii;
  for (std::size_t i = 0; i < ids.size();) {
    // With room for a block per id of a batch, an inline spelling of a dense
    // id is copied with no check and no call; any other id leaves the loop.
    const std::size_t batch_end = std::min(ids.size(), i + kBatch);
    char* const start = text.extend(0, (batch_end - i) * kBlock);
    char* out = start;
    for (; i < batch_end; ++i) {
      const TokenId id = ids[i];
      if (id >= dense_size || dense[id].length == kInArena) break;
      const Entry& found = dense[id];
      std::memcpy(out, &found, kBlock);
      out += found.length;
      chars += found.chars;
      widest = found.width > widest ? found.width : widest;
    }
    text.extend(static_cast<std::size_t>(out - start), 0);
    if (i == batch_end) continue;
    const Entry& found = ids[i] < dense_size ? dense[ids[i]] : sparse(ids[i]);
    if (found.length != kInArena) {
      text.append(found.text, found.length);
      chars += found.chars;
    } else {
      const ArenaSpelling where = in_arena(found);
      text.append(arena_.data() + where.offset, where.length);
      chars += where.chars;
    }
    widest = found.width > widest ? found.width : widest;
    ++i;
  }
  return {chars, widest};
}

const Decoder::Entry& Decoder::sparse(TokenId id) const noexcept {
  static constexpr Entry kNothing{};
  const auto found = std::lower_bound(sparse_.begin(), sparse_.end(), id,
                                      [](const auto& entry, TokenId wanted) { return entry.first < wanted; });
  return found != sparse_.end() && found->first == id ? found->second : kNothing;
}

TextShape decode(const Model& model, std::span<const TokenId> ids, TextBuffer& text) {
  return model.decoder.join(ids, text);
}

std::string decode(const Model& model, std::span<const TokenId> ids) {
  TextBuffer text;
  decode(model, ids, text);
  return std::string(text.begin(), text.end());
}

}  // namespace morfex::bpe
