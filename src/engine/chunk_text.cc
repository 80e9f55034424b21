#include "engine/chunk_text.h"

#include <cstring>

namespace morfex::engine {

std::size_t first_invalid_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    // Most text is ASCII: skip it eight bytes at a time.
    if (i + 8 <= size) {
      std::uint64_t block;
      std::memcpy(&block, p + i, sizeof block);
      if ((block & 0x8080808080808080u) == 0) {
        i += 8;
        continue;
      }
    }
    const unsigned char lead = p[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    // The allowed range of the second byte excludes overlong forms, surrogates and values past U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return i;
    }
    if (i + 1 >= size || p[i + 1] < low || p[i + 1] > high) return i;
    for (std::size_t k = 2; k < length; ++k) {
      if (i + k >= size || (p[i + k] & 0xC0) != 0x80) return i;
    }
    i += length;
  }
  return kNoWord;
}

void split_lines(std::string_view bytes, SplitLines& out) {
  out.words.clear();
  out.line_ends.clear();
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    if (p[i] == '\n') {
      out.line_ends.push_back(out.words.size());
      ++i;
      continue;
    }
    if (is_separator(p[i])) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    while (i < size && !is_separator(p[i])) ++i;
    out.words.push_back(WordRef::utf8(bytes.substr(start, i - start)));
  }
  if (size != 0 && p[size - 1] != '\n') out.line_ends.push_back(out.words.size());
}

namespace {

std::size_t digits(TokenId id) noexcept {
  std::size_t count = 1;
  while (id >= 10) {
    id /= 10;
    ++count;
  }
  return count;
}

}  // namespace

std::size_t formatted_size(std::span<const TokenId> ids, std::span<const std::int64_t> offsets) noexcept {
  if (offsets.empty()) return 0;
  const std::size_t lines = offsets.size() - 1;
  const auto count = static_cast<std::size_t>(offsets.back() - offsets.front());
  std::size_t size = lines + count;  // each line's \n, one space after each id but the last of a line
  for (std::size_t i = 0; i < count; ++i) size += digits(ids[i]);
  for (std::size_t line = 0; line < lines; ++line) size -= offsets[line + 1] != offsets[line];
  return size;
}

void format_lines(std::span<const TokenId> ids, std::span<const std::int64_t> offsets, char* out) noexcept {
  if (offsets.empty()) return;
  const std::int64_t base = offsets.front();
  for (std::size_t line = 0; line + 1 < offsets.size(); ++line) {
    for (auto i = offsets[line] - base; i < offsets[line + 1] - base; ++i) {
      if (i != offsets[line] - base) *out++ = ' ';
      TokenId id = ids[static_cast<std::size_t>(i)];
      const std::size_t width = digits(id);
      for (std::size_t d = width; d-- > 0; id /= 10) out[d] = static_cast<char>('0' + id % 10);
      out += width;
    }
    *out++ = '\n';
  }
}

void cut_lines(std::string_view bytes, std::vector<WordRef>& lines) {
  std::size_t start = 0;
  while (start < bytes.size()) {
    const void* found = std::memchr(bytes.data() + start, '\n', bytes.size() - start);
    const std::size_t end =
        found == nullptr ? bytes.size() : static_cast<std::size_t>(static_cast<const char*>(found) - bytes.data()) + 1;
    lines.push_back(WordRef::utf8(bytes.substr(start, end - start)));
    start = end;
  }
}

}  // namespace morfex::engine
