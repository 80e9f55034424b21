#include "bpe/decoder.h"

namespace morfex::bpe {

std::string decode(const CoreBPE& bpe, std::span<const TokenId> ids) {
  std::string joined;
  const bool check_special = !bpe.special_ids.empty();
  if (!bpe.id_to_token.empty()) {
    for (const TokenId id : ids) {
      if (check_special && bpe.special_ids.contains(id)) continue;
      if (auto it = bpe.id_to_token.find(id); it != bpe.id_to_token.end()) joined += it->second;
    }
  }

  // One scan over the whole joined text, copying the stretches between markers.
  std::size_t marker = joined.find(kBoundaryMarker);
  if (marker == std::string::npos) return joined;
  std::string text;
  text.reserve(joined.size());
  std::size_t from = 0;
  for (; marker != std::string::npos; marker = joined.find(kBoundaryMarker, from)) {
    text.append(joined, from, marker - from);
    from = marker + kBoundaryMarker.size();
  }
  text.append(joined, from, std::string::npos);
  return text;
}

}  // namespace morfex::bpe
