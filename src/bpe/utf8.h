#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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

// The widest character of a text, in the order of the code units it takes:
// ASCII, up to U+00FF, up to U+FFFF, beyond. kMalformed: not all UTF-8.
enum class Width : std::uint8_t { kAscii, kLatin1, kBmp, kAstral, kMalformed };

// What a text's characters are: how many, and the widest of them. Joining
// texts of known shape adds their counts and keeps the widest, so a decoded
// text gets its shape from its pieces instead of from another scan. (For a
// malformed piece the count means nothing: such text is read byte by byte.)
struct TextShape {
  std::size_t chars = 0;
  Width widest = Width::kAscii;
};

inline TextShape shape_of(std::string_view text) noexcept {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  // Much text is all ASCII; find where that ends a word at a time.
  std::size_t ascii = 0;
  for (std::uint64_t block = 0; ascii + sizeof block <= size; ascii += sizeof block) {
    std::memcpy(&block, bytes + ascii, sizeof block);
    if ((block & 0x8080808080808080u) != 0) break;
  }
  while (ascii < size && bytes[ascii] < 0x80) ++ascii;
  TextShape shape{ascii, Width::kAscii};
  std::uint32_t widest = 0;
  for (std::size_t pos = ascii; pos < size; ++shape.chars) {
    const std::uint32_t lead = bytes[pos];
    if (lead < 0x80) {
      ++pos;
      continue;
    }
    // Two- and three-byte characters (all of the BMP but ASCII) checked in line.
    const auto continues = [&](std::size_t at) { return at < size && (bytes[at] & 0xC0) == 0x80; };
    std::uint32_t scalar;
    if (lead >= 0xC2 && lead < 0xE0 && continues(pos + 1)) {
      scalar = (lead & 0x1F) << 6 | (bytes[pos + 1] & 0x3F);
      pos += 2;
    } else if (lead >= 0xE0 && lead < 0xF0 && continues(pos + 1) && continues(pos + 2) &&
               (scalar = (lead & 0x0F) << 12 | (bytes[pos + 1] & 0x3F) << 6 | (bytes[pos + 2] & 0x3F)) >= 0x800 &&
               (scalar < 0xD800 || scalar > 0xDFFF)) {
      pos += 3;
    } else {
      const Char c = char_at(text, pos);
      if (c.scalar == kNotScalar) return {shape.chars, Width::kMalformed};
      scalar = c.scalar;
      pos += c.length;
    }
    widest = scalar > widest ? scalar : widest;
  }
  if (widest >= 0x10000) {
    shape.widest = Width::kAstral;
  } else if (widest >= 0x100) {
    shape.widest = Width::kBmp;
  } else if (widest >= 0x80) {
    shape.widest = Width::kLatin1;
  }
  return shape;
}

// What encode_code_units returns when a lone surrogate, which has no UTF-8
// form, stops it.
inline constexpr std::size_t kLoneSurrogate = ~std::size_t{0};

// Writes the UTF-8 form of code units (one, two or four bytes each, as the
// interpreter stores its strs) to `out`, which has room for it, and returns
// its size, or kLoneSurrogate.
template <class Unit>
std::size_t encode_code_units(const Unit* units, std::size_t length, char* out) noexcept {
  char* const start = out;
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint32_t c = units[i];
    if (c < 0x80) {
      *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
      *out++ = static_cast<char>(0xC0 | (c >> 6));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      if (c >= 0xD800 && c <= 0xDFFF) return kLoneSurrogate;
      *out++ = static_cast<char>(0xE0 | (c >> 12));
      *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *out++ = static_cast<char>(0xF0 | (c >> 18));
      *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return static_cast<std::size_t>(out - start);
}

}  // namespace morfex::bpe
