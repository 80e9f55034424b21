#include "bpe/decoder.h"

#include <cstring>
#include <optional>
#include <string_view>

namespace morfex::bpe {
namespace {

// One scan over text[from, size), moving the stretches between markers down
// in place; returns the new size.
std::size_t remove_markers(char* text, std::size_t from, std::size_t size) noexcept {
  const std::string_view view(text, size);
  std::size_t marker = view.find(kBoundaryMarker, from);
  if (marker == std::string_view::npos) return size;
  std::size_t kept = marker;
  for (;;) {
    const std::size_t stretch = marker + kBoundaryMarker.size();
    marker = view.find(kBoundaryMarker, stretch);
    const std::size_t stretch_end = marker == std::string_view::npos ? size : marker;
    std::memmove(text + kept, text + stretch, stretch_end - stretch);
    kept += stretch_end - stretch;
    if (marker == std::string_view::npos) return kept;
  }
}

}  // namespace

void decode(const CoreBPE& bpe, std::span<const TokenId> ids, TextBuffer& text) {
  const std::size_t start = text.size();
  const bool check_special = !bpe.special_ids.empty();
  if (!bpe.id_to_token.empty()) {
    for (const TokenId id : ids) {
      if (check_special && bpe.special_ids.contains(id)) continue;
      if (const std::optional<std::string_view> token = bpe.id_to_token.get(id)) text.append(token->data(), token->size());
    }
  }
  text.truncate(remove_markers(text.data(), start, text.size()));
}

std::string decode(const CoreBPE& bpe, std::span<const TokenId> ids) {
  TextBuffer text;
  decode(bpe, ids, text);
  return std::string(text.begin(), text.end());
}

}  // namespace morfex::bpe
