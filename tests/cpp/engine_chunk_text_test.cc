#include "engine/chunk_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morfex::engine {
namespace {

struct Utf8Case {
  std::string bytes;
  std::size_t invalid_at;
};

class Utf8Table : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Table, FindsTheStartOfTheFirstIllFormedSequence) {
  EXPECT_EQ(first_invalid_utf8(GetParam().bytes), GetParam().invalid_at);
}

INSTANTIATE_TEST_SUITE_P(
    ChunkText, Utf8Table,
    testing::Values(Utf8Case{"", kNoWord}, Utf8Case{"plain ascii text, long enough for blocks", kNoWord},
                    Utf8Case{"k\xE2\x96\x81um \xF0\x9F\x98\x80 \xC3\xA9\n", kNoWord},
                    Utf8Case{"abcdefghij\x80", 10},             // stray continuation byte
                    Utf8Case{"ab\xC0\xAF", 2},                  // overlong two-byte form
                    Utf8Case{"ab\xE0\x80\xAF", 2},              // overlong three-byte form
                    Utf8Case{"\xED\xA0\x80", 0},                // encoded surrogate
                    Utf8Case{"\xF4\x90\x80\x80", 0},            // past U+10FFFF
                    Utf8Case{"\xF5\x80\x80\x80", 0},            // no such lead byte
                    Utf8Case{"abc\xE2\x96", 3},                 // cut short by the end
                    Utf8Case{"abc\xE2\x41\x81", 3},             // continuation missing
                    Utf8Case{"12345678\xF0\x9F\x98", 8},        // cut short after a block
                    Utf8Case{std::string("a\0b", 3), kNoWord}));

std::vector<std::string> texts(const SplitLines& split) {
  std::vector<std::string> out;
  for (const WordRef& word : split.words) out.emplace_back(static_cast<const char*>(word.data), word.length);
  return out;
}

struct SplitCase {
  std::string bytes;
  std::vector<std::string> words;
  std::vector<std::size_t> line_ends;
};

class SplitTable : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitTable, SplitsLinesAndWordsAsStrSplitDoes) {
  SplitLines split;
  split_lines(GetParam().bytes, split);
  EXPECT_EQ(texts(split), GetParam().words);
  EXPECT_EQ(split.line_ends, GetParam().line_ends);
}

INSTANTIATE_TEST_SUITE_P(
    ChunkText, SplitTable,
    testing::Values(SplitCase{"", {}, {}}, SplitCase{"\n", {}, {0}}, SplitCase{"a b\n", {"a", "b"}, {2}},
                    SplitCase{"a b", {"a", "b"}, {2}}, SplitCase{"a\n\nb\n", {"a", "b"}, {1, 1, 2}},
                    SplitCase{"  a\t\x0b\x0c\r b \r\n", {"a", "b"}, {2}},
                    SplitCase{"a\x1c" "b\x1d" "c\x1e" "d\x1f" "e", {"a", "b", "c", "d", "e"}, {5}},
                    // Not ASCII whitespace: NUL, U+00A0 and U+2581 stay inside words.
                    SplitCase{std::string("a\0b \xC2\xA0 k\xE2\x96\x81um", 13),
                              {std::string("a\0b", 3), "\xC2\xA0", "k\xE2\x96\x81um"},
                              {3}}));

struct CutCase {
  std::string bytes;
  std::vector<std::string> lines;
};

class CutTable : public testing::TestWithParam<CutCase> {};

TEST_P(CutTable, CutsAfterEachLineFeedKeepingIt) {
  SplitLines cut;
  cut_lines(GetParam().bytes, cut.words);
  EXPECT_EQ(texts(cut), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    ChunkText, CutTable,
    testing::Values(CutCase{"", {}}, CutCase{"\n", {"\n"}}, CutCase{"\n\n", {"\n", "\n"}},
                    CutCase{"a b", {"a b"}}, CutCase{"a\nb", {"a\n", "b"}},
                    CutCase{"a\r\n\rb\r", {"a\r\n", "\rb\r"}},
                    CutCase{std::string("\0\n\xC3\xA9\n", 5), {std::string("\0\n", 2), "\xC3\xA9\n"}}));

struct FormatCase {
  std::vector<TokenId> ids;
  std::vector<std::int64_t> offsets;
  std::string text;
};

class FormatTable : public testing::TestWithParam<FormatCase> {};

TEST_P(FormatTable, WritesDecimalLinesOfExactlyTheMeasuredSize) {
  const FormatCase& c = GetParam();
  const std::size_t size = formatted_size(c.ids, c.offsets);
  ASSERT_EQ(size, c.text.size());
  std::string out(size, '?');
  format_lines(c.ids, c.offsets, out.data());
  EXPECT_EQ(out, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    ChunkText, FormatTable,
    testing::Values(FormatCase{{}, {0}, ""}, FormatCase{{}, {0, 0, 0}, "\n\n"},
                    FormatCase{{1, 2, 3}, {0, 3}, "1 2 3\n"},
                    FormatCase{{0, 9, 10, 4294967295u}, {0, 1, 1, 4}, "0\n\n9 10 4294967295\n"},
                    // Offsets need not start at 0: the ids given start at offsets[0].
                    FormatCase{{7, 8}, {2, 3, 4}, "7\n8\n"}));

}  // namespace
}  // namespace morfex::engine
