#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace morfex::text {

// What a character is to the splitter of running text.
enum class CharClass : std::uint8_t {
  kOther,   // punctuation, symbols, controls that are not whitespace, unassigned
  kWord,    // letters (L*), combining marks (M*) and the morpheme marker U+2581
  kNumber,  // numbers (N*)
  kSpace,   // what Python's str.isspace() accepts
};

// The classes of the code points of one and two UTF-8 bytes, by table: most
// characters of running text, which the splitter classifies one by one.
inline constexpr std::uint32_t kTabledCodePoints = 0x800;
extern const std::array<CharClass, kTabledCodePoints> kTabledClasses;

// The class of a code point from U+0800 up, by a search of the ranges.
CharClass searched_char_class(std::uint32_t code_point) noexcept;

inline CharClass char_class(std::uint32_t code_point) noexcept {
  return code_point < kTabledCodePoints ? kTabledClasses[code_point] : searched_char_class(code_point);
}

// The Unicode version the class table was generated from.
std::string_view unicode_version() noexcept;

}  // namespace morfex::text
