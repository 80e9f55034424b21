#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace morfex::engine {

// How a word's code units are stored: UTF-8 bytes (ASCII text included), or
// one, two or four bytes per code point as the interpreter keeps its strs.
enum class Units : std::uint8_t { kUtf8, kLatin1, kUcs2, kUcs4 };

// A word read in place; the owner keeps the units alive while it is used.
struct WordRef {
  const void* data;
  std::size_t length;  // in units
  Units units;

  static WordRef utf8(std::string_view text) noexcept { return {text.data(), text.size(), Units::kUtf8}; }
};

inline constexpr std::size_t kNoWord = SIZE_MAX;

// The word as UTF-8: in place when it is stored so, otherwise encoded into
// `scratch`. False when a lone surrogate (which has no UTF-8 form) stops it.
bool utf8_of(const WordRef& word, std::vector<char>& scratch, std::string_view& text);

// The index of the first word that holds a lone surrogate, or kNoWord.
std::size_t first_unencodable(std::span<const WordRef> words);

}  // namespace morfex::engine
