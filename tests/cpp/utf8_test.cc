#include "bpe/utf8.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace morfex::bpe {
namespace {


std::string utf8(std::uint32_t scalar) {
  std::string out;
  if (scalar < 0x80) {
    out += static_cast<char>(scalar);
  } else if (scalar < 0x800) {
    out += static_cast<char>(0xC0 | (scalar >> 6));
    out += static_cast<char>(0x80 | (scalar & 0x3F));
  } else if (scalar < 0x10000) {
    out += static_cast<char>(0xE0 | (scalar >> 12));
    out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (scalar & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (scalar >> 18));
    out += static_cast<char>(0x80 | ((scalar >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (scalar & 0x3F));
  }
  return out;
}

TEST(Utf8, EveryScalarDecodesFromItsShortestForm) {
  for (std::uint32_t scalar = 0; scalar <= 0x10FFFF; ++scalar) {
    if (scalar >= 0xD800 && scalar <= 0xDFFF) continue;
    const std::string bytes = utf8(scalar);
    const Char c = char_at(bytes, 0);
    ASSERT_EQ(c.length, bytes.size()) << scalar;
    ASSERT_EQ(c.scalar, scalar);
  }
}

// Only the shortest form names a scalar: anything else must not alias a
// one-character token such as NUL or "/".
TEST(Utf8, MalformedCharactersHaveNoScalar) {
  const std::vector<std::string> malformed = {
      "\x80",             "\xFF",             "\xC0\x80",         "\xC1\xBF",     "\xE0\x80\x80",
      "\xE0\x9F\xBF",     "\xED\xA0\x80",     "\xED\xBF\xBF",     "\xF0\x80\x80\x80", "\xF0\x8F\xBF\xBF",
      "\xF4\x90\x80\x80", "\xF7\xBF\xBF\xBF", "\xC3\x28",         "\xE2\x96",     "\xE2\x28\x81"};
  for (const std::string& bytes : malformed) {
    const Char c = char_at(bytes, 0);
    EXPECT_EQ(c.length, char_length(bytes, 0));
    EXPECT_EQ(c.scalar, kNotScalar) << testing::PrintToString(bytes);
  }
}

// The widest character decides the width, on both sides of every boundary,
// after ASCII runs shorter and longer than the eight bytes read at a time.
TEST(Utf8, ShapeCountsCharactersAndFindsTheWidest) {
  const std::vector<std::pair<std::uint32_t, Width>> widths = {
      {0x00, Width::kAscii},  {0x7F, Width::kAscii}, {0x80, Width::kLatin1},   {0xFF, Width::kLatin1},
      {0x100, Width::kBmp},   {0xFFFF, Width::kBmp}, {0x10000, Width::kAstral}, {0x10FFFF, Width::kAstral}};
  for (const std::string& ascii : {std::string(), std::string("k"), std::string(7, 'a'), std::string(8, 'a'),
                                   std::string(17, 'a')}) {
    for (const auto& [scalar, width] : widths) {
      const TextShape shape = shape_of(ascii + utf8(scalar) + "m" + utf8(0x41));
      EXPECT_EQ(shape.chars, ascii.size() + 3) << scalar;
      EXPECT_EQ(shape.widest, width) << scalar;
    }
  }
  EXPECT_EQ(shape_of("").chars, 0u);
  EXPECT_EQ(shape_of("").widest, Width::kAscii);
  EXPECT_EQ(shape_of(std::string(9, 'a') + "\xC3").widest, Width::kMalformed);
  EXPECT_EQ(shape_of(utf8(0x10000) + "\xED\xA0\x80").widest, Width::kMalformed);
}

}  // namespace
}  // namespace morfex::bpe
