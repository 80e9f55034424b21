#include "engine/word_text.h"

#include "bpe/utf8.h"

namespace morfex::engine {
namespace {

template <class Unit>
bool encode_into(const WordRef& word, std::vector<char>& scratch, std::string_view& text) {
  // A unit of n bytes takes at most n + 1 bytes of UTF-8 (four for four).
  const std::size_t bound = word.length * (sizeof(Unit) == 4 ? 4 : sizeof(Unit) + 1);
  if (scratch.size() < bound) scratch.resize(bound);
  const std::size_t size = bpe::encode_code_units(static_cast<const Unit*>(word.data), word.length, scratch.data());
  if (size == bpe::kLoneSurrogate) return false;
  text = std::string_view(scratch.data(), size);
  return true;
}

template <class Unit>
bool has_surrogate(const WordRef& word) noexcept {
  const auto* units = static_cast<const Unit*>(word.data);
  for (std::size_t i = 0; i < word.length; ++i) {
    if (units[i] >= 0xD800 && units[i] <= 0xDFFF) return true;
  }
  return false;
}

}  // namespace

bool utf8_of(const WordRef& word, std::vector<char>& scratch, std::string_view& text) {
  switch (word.units) {
    case Units::kUtf8:
      text = std::string_view(static_cast<const char*>(word.data), word.length);
      return true;
    case Units::kLatin1:
      return encode_into<std::uint8_t>(word, scratch, text);
    case Units::kUcs2:
      return encode_into<std::uint16_t>(word, scratch, text);
    case Units::kUcs4:
      return encode_into<std::uint32_t>(word, scratch, text);
  }
  return true;
}

std::size_t first_unencodable(std::span<const WordRef> words) {
  for (std::size_t i = 0; i < words.size(); ++i) {
    const WordRef& word = words[i];
    if ((word.units == Units::kUcs2 && has_surrogate<std::uint16_t>(word)) ||
        (word.units == Units::kUcs4 && has_surrogate<std::uint32_t>(word))) {
      return i;
    }
  }
  return kNoWord;
}

}  // namespace morfex::engine
