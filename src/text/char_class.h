#pragma once

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

CharClass char_class(std::uint32_t code_point) noexcept;

// The Unicode version the class table was generated from.
std::string_view unicode_version() noexcept;

}  // namespace morfex::text
