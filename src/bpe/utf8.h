#pragma once

#include <cstddef>
#include <string_view>

namespace morfex::bpe {

// Byte length of the character that starts at `pos`. Text from Python is
// always valid UTF-8; anything else still splits deterministically, a stray
// byte being one character, and never past the end of the text.
inline std::size_t char_length(std::string_view text, std::size_t pos) noexcept {
  const auto lead = static_cast<unsigned char>(text[pos]);
  std::size_t len = 1;
  if (lead >= 0xF0 && lead < 0xF8) {
    len = 4;
  } else if (lead >= 0xE0) {
    len = lead < 0xF0 ? 3 : 1;
  } else if (lead >= 0xC0) {
    len = 2;
  }
  const std::size_t left = text.size() - pos;
  return len < left ? len : left;
}

}  // namespace morfex::bpe
