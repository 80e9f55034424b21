#include "bpe/decoder.h"

#include <algorithm>

namespace morfex::bpe {

std::string decode(const CoreBPE& bpe, std::span<const TokenId> ids) {
  std::string text;
  const bool check_special = !bpe.special_ids.empty();
  if (!bpe.id_to_token.empty()) {
    for (const TokenId id : ids) {
      if (check_special && bpe.special_ids.contains(id)) continue;
      if (const std::string* token = bpe.id_to_token.get(id)) text += *token;
    }
  }

  // One scan over the whole joined text, moving the stretches between markers
  // down in place.
  std::size_t marker = text.find(kBoundaryMarker);
  if (marker == std::string::npos) return text;
  std::size_t kept = marker;
  for (std::size_t from = marker + kBoundaryMarker.size();; from = marker + kBoundaryMarker.size()) {
    marker = text.find(kBoundaryMarker, from);
    const std::size_t stretch_end = marker == std::string::npos ? text.size() : marker;
    std::copy(text.begin() + static_cast<std::ptrdiff_t>(from), text.begin() + static_cast<std::ptrdiff_t>(stretch_end),
              text.begin() + static_cast<std::ptrdiff_t>(kept));
    kept += stretch_end - from;
    if (marker == std::string::npos) break;
  }
  text.resize(kept);
  return text;
}

}  // namespace morfex::bpe
