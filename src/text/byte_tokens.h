#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "bpe/vocabulary.h"

namespace morfex::text {

// The ids of the 256 byte tokens "<0x00>" .. "<0xFF>" of a model with byte fallback.
class ByteTokens {
 public:
  explicit ByteTokens(const std::array<bpe::TokenId, 256>& ids);

  bpe::TokenId id_of(std::uint8_t byte) const noexcept { return ids_[byte]; }
  // The byte that `id` stands for, or -1 when it is no byte token.
  int byte_of(bpe::TokenId id) const noexcept;

 private:
  std::array<bpe::TokenId, 256> ids_;
  bpe::TokenId first_;  // when the ids run consecutively from first_, no search is needed
  bool consecutive_;
  std::vector<std::pair<bpe::TokenId, std::uint8_t>> by_id_;
};

// The spelling of byte `value`'s token, as sentencepiece and tokenizers spell it.
std::array<char, 6> byte_token(std::uint8_t value) noexcept;

// Appends `bytes` decoded as UTF-8, each maximal ill-formed part becoming
// U+FFFD (what Python's "replace" error handler gives).
template <class Out>
void append_utf8_replacing(std::string_view bytes, Out& out) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned lead = b[i];
    if (lead < 0x80) {
      out.append(bytes.data() + i++, 1);
      continue;
    }
    // How many continuation bytes follow the lead, and the range of the first.
    std::size_t need = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      need = 2;
      low = lead == 0xE0 ? 0xA0 : 0x80;
      high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      need = 3;
      low = lead == 0xF0 ? 0x90 : 0x80;
      high = lead == 0xF4 ? 0x8F : 0xBF;
    }
    std::size_t j = i + 1;
    std::size_t got = 0;
    while (got < need && j < n && b[j] >= (got == 0 ? low : 0x80) && b[j] <= (got == 0 ? high : 0xBF)) {
      ++j;
      ++got;
    }
    if (need != 0 && got == need) {
      out.append(bytes.data() + i, j - i);
    } else {
      out.append(kReplacement, 3);
    }
    i = j;
  }
}

}  // namespace morfex::text
