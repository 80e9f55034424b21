#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace morfex::text {

enum class PieceKind : std::uint8_t { kWord, kNumber, kPunctuation, kSpace };

// A piece of running text: bytes [begin, end) of the UTF-8 text, characters
// [char_begin, char_end). A word, number or punctuation piece may start with
// one U+0020 that it carries in front of its run.
struct Piece {
  std::size_t begin;
  std::size_t end;
  std::size_t char_begin;
  std::size_t char_end;
  PieceKind kind;

  bool leading_space(std::string_view text) const noexcept { return kind != PieceKind::kSpace && text[begin] == ' '; }
};

// Cuts `text` into pieces, every character in exactly one, in order:
// runs of word characters, of numbers, of anything else that is not
// whitespace, and of whitespace; a run of whitespace that ends in U+0020
// before a character that is not whitespace leaves that space to the next
// piece. Bytes that are not UTF-8 count as characters of the last kind.
void split_pieces(std::string_view text, std::vector<Piece>& out);

}  // namespace morfex::text
