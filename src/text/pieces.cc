#include "text/pieces.h"

#include "bpe/utf8.h"
#include "text/char_class.h"

namespace morfex::text {
namespace {

struct Scanned {
  std::size_t length;
  CharClass cls;
};

Scanned scan(std::string_view text, std::size_t pos) noexcept {
  const auto byte = static_cast<unsigned char>(text[pos]);
  if (byte < 0x80) return {1, kTabledClasses[byte]};
  const bpe::Char c = bpe::char_at(text, pos);
  return {c.length, c.scalar == bpe::kNotScalar ? CharClass::kOther : char_class(c.scalar)};
}

constexpr PieceKind kind_of(CharClass cls) noexcept {
  switch (cls) {
    case CharClass::kWord:
      return PieceKind::kWord;
    case CharClass::kNumber:
      return PieceKind::kNumber;
    case CharClass::kSpace:
      return PieceKind::kSpace;
    case CharClass::kOther:
      break;
  }
  return PieceKind::kPunctuation;
}

}  // namespace

void split_pieces(std::string_view text, std::vector<Piece>& out) {
  std::size_t pos = 0;
  std::size_t chars = 0;
  while (pos < text.size()) {
    Scanned c = scan(text, pos);
    std::size_t begin = pos;
    std::size_t char_begin = chars;
    if (c.cls == CharClass::kSpace) {
      while (pos < text.size() && (c = scan(text, pos)).cls == CharClass::kSpace) {
        pos += c.length;
        ++chars;
      }
      // A final U+0020 before something else leads that piece.
      const bool leads = pos < text.size() && text[pos - 1] == ' ';
      const std::size_t end = leads ? pos - 1 : pos;
      if (end > begin) out.push_back({begin, end, char_begin, leads ? chars - 1 : chars, PieceKind::kSpace});
      if (!leads) continue;
      begin = end;
      char_begin = chars - 1;
    }
    const CharClass run = c.cls;
    while (pos < text.size() && (c = scan(text, pos)).cls == run) {
      pos += c.length;
      ++chars;
    }
    out.push_back({begin, pos, char_begin, chars, kind_of(run)});
  }
}

}  // namespace morfex::text
