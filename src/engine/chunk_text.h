#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "engine/core_model.h"
#include "engine/word_text.h"

namespace morfex::engine {

// Where UTF-8 validation of a chunk stopped: kNoWord when the bytes are
// UTF-8; otherwise the offset of the first byte of the first ill-formed
// sequence (what Python's decoder reports as the error's start).
std::size_t first_invalid_utf8(std::string_view bytes) noexcept;

// Whether `byte` separates words: the ASCII characters that str.split()
// treats as whitespace (space, \t, \n, \v, \f, \r and \x1c to \x1f).
constexpr bool is_separator(unsigned char byte) noexcept {
  return byte == ' ' || (byte >= '\t' && byte <= '\r') || (byte >= 0x1C && byte <= 0x1F);
}

// The words of a chunk of lines and, per line, the index just past its last
// word. Lines end at \n; text after the last \n is one more line.
struct SplitLines {
  std::vector<WordRef> words;
  std::vector<std::size_t> line_ends;
};
void split_lines(std::string_view bytes, SplitLines& out);

// The lines of `bytes` as running text is read: each with the \n that ends
// it, and the bytes after the last \n as one more line when there are any.
void cut_lines(std::string_view bytes, std::vector<WordRef>& lines);

// The decimal text of lines of ids: the ids of line i are
// ids[offsets[i] - offsets[0], offsets[i + 1] - offsets[0]), written
// separated by one space and ended by \n. The first function gives the
// size in bytes, the second writes exactly that many to `out` when given
// the same ids: a caller whose ids may change in between formats a copy.
std::size_t formatted_size(std::span<const TokenId> ids, std::span<const std::int64_t> offsets) noexcept;
void format_lines(std::span<const TokenId> ids, std::span<const std::int64_t> offsets, char* out) noexcept;

}  // namespace morfex::engine
