#include "text/byte_tokens.h"

#include <algorithm>

namespace morfex::text {

ByteTokens::ByteTokens(const std::array<bpe::TokenId, 256>& ids) : ids_(ids), first_(ids[0]), consecutive_(true) {
  for (std::size_t b = 0; b < 256; ++b) {
    consecutive_ = consecutive_ && ids[b] == first_ + b && first_ <= UINT32_MAX - 255;
    by_id_.emplace_back(ids[b], static_cast<std::uint8_t>(b));
  }
  std::sort(by_id_.begin(), by_id_.end());
}

int ByteTokens::byte_of(bpe::TokenId id) const noexcept {
  if (consecutive_) return id >= first_ && id - first_ < 256 ? static_cast<int>(id - first_) : -1;
  const auto found = std::lower_bound(by_id_.begin(), by_id_.end(), std::pair<bpe::TokenId, std::uint8_t>{id, 0});
  return found != by_id_.end() && found->first == id ? found->second : -1;
}

std::array<char, 6> byte_token(std::uint8_t value) noexcept {
  static constexpr char kHex[] = "0123456789ABCDEF";
  return {'<', '0', 'x', kHex[value >> 4], kHex[value & 15], '>'};
}

}  // namespace morfex::text
