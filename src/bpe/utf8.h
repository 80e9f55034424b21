#pragma once

#include <cstddef>
#include <cstdint>
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

inline constexpr std::uint32_t kNotScalar = UINT32_MAX;

// The scalar value of the `len` bytes at `p` (a character as char_length cuts
// it), or kNotScalar unless they are its one shortest UTF-8 form: only then
// does the value name these bytes and no others.
inline std::uint32_t scalar_value(const char* p, std::size_t len) noexcept {
  const auto byte = [p](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(p[i])); };
  const std::uint32_t lead = byte(0);
  if (len == 1) return lead < 0x80 ? lead : kNotScalar;
  // A lead byte cut short by the end of the text announces more bytes than it has.
  static constexpr std::uint32_t kLeadMask[] = {0, 0, 0xE0, 0xF0, 0xF8};
  if ((lead & kLeadMask[len]) != ((kLeadMask[len] << 1) & 0xFF)) return kNotScalar;
  std::uint32_t value = lead & (0x7Fu >> len);
  for (std::size_t i = 1; i < len; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return kNotScalar;
    value = (value << 6) | (byte(i) & 0x3F);
  }
  static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kSmallest[len] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return kNotScalar;
  return value;
}

// The character at `pos` as char_length cuts it, and its scalar value as
// scalar_value gives it.
struct Char {
  std::size_t length;
  std::uint32_t scalar;
};
inline Char char_at(std::string_view text, std::size_t pos) noexcept {
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) return {1, lead};
  const std::size_t length = char_length(text, pos);
  return {length, scalar_value(text.data() + pos, length)};
}

}  // namespace morfex::bpe
