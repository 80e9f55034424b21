#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/char_class.h"
#include "text/pieces.h"
#include "text/segmentation_table.h"

namespace morfex::text {
namespace {

// Each piece as its text and a kind letter: w(ord), n(umber), p(unctuation), s(pace).
std::vector<std::string> pieces_of(std::string_view text) {
  std::vector<Piece> pieces;
  split_pieces(text, pieces);
  std::vector<std::string> out;
  std::size_t chars = 0;
  for (const Piece& piece : pieces) {
    EXPECT_EQ(piece.char_begin, chars);
    chars = piece.char_end;
    out.push_back("wnps"[static_cast<int>(piece.kind)] + std::string(text.substr(piece.begin, piece.end - piece.begin)));
  }
  return out;
}

struct SplitCase {
  std::string text;
  std::vector<std::string> pieces;
};

class SplitTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, CutsAsTheConventionSays) { EXPECT_EQ(pieces_of(GetParam().text), GetParam().pieces); }

INSTANTIATE_TEST_SUITE_P(
    Examples, SplitTest,
    testing::Values(SplitCase{"a  b", {"wa", "s ", "w b"}}, SplitCase{"a\nb", {"wa", "s\n", "wb"}},
                    SplitCase{" a", {"w a"}}, SplitCase{"a ", {"wa", "s "}}, SplitCase{"", {}},
                    SplitCase{"kot, 12kg", {"wkot", "p,", "n 12", "wkg"}},
                    SplitCase{"\r\n\t x", {"s\r\n\t", "w x"}},
                    SplitCase{"k\xE2\x96\x81ot", {"wk\xE2\x96\x81ot"}},
                    // U+00A0 and U+3000 are whitespace; only U+0020 leads a piece.
                    SplitCase{"a\xC2\xA0" "b", {"wa", "s\xC2\xA0", "wb"}},
                    SplitCase{"\xE3\x80\x80x", {"s\xE3\x80\x80", "wx"}},
                    // A combining mark is a word character, even alone.
                    SplitCase{" \xCC\x81!", {"w \xCC\x81", "p!"}},
                    // Bytes that are not UTF-8 are punctuation, one character each.
                    SplitCase{"a\xFF\xFE" "b", {"wa", "p\xFF\xFE", "wb"}},
                    SplitCase{"Ala\xF0\x9F\x98\x80", {"wAla", "p\xF0\x9F\x98\x80"}},
                    SplitCase{std::string("x \x00", 3), {"wx", std::string("p \x00", 3)}}));

struct ClassCase {
  std::uint32_t code_point;
  CharClass cls;
};

class ClassTest : public testing::TestWithParam<ClassCase> {};

TEST_P(ClassTest, FollowsUnicode) { EXPECT_EQ(char_class(GetParam().code_point), GetParam().cls); }

INSTANTIATE_TEST_SUITE_P(
    Examples, ClassTest,
    testing::Values(ClassCase{'a', CharClass::kWord}, ClassCase{'7', CharClass::kNumber},
                    ClassCase{' ', CharClass::kSpace}, ClassCase{0x1C, CharClass::kSpace},
                    ClassCase{0x85, CharClass::kSpace}, ClassCase{0x2028, CharClass::kSpace},
                    ClassCase{0x200B, CharClass::kOther}, ClassCase{0x200D, CharClass::kOther},
                    ClassCase{0x2581, CharClass::kWord}, ClassCase{0x0301, CharClass::kWord},
                    ClassCase{0x00B2, CharClass::kNumber}, ClassCase{0x2167, CharClass::kNumber},
                    ClassCase{0x1F600, CharClass::kOther}, ClassCase{0x20000, CharClass::kWord},
                    ClassCase{0xD800, CharClass::kOther}, ClassCase{0x10FFFF, CharClass::kOther}));

struct MarkerCase {
  const char* word;
  const char* segmented;
  bool ok;
  std::vector<std::size_t> added;
};

class InsertedMarkersTest : public testing::TestWithParam<MarkerCase> {};

TEST_P(InsertedMarkersTest, AcceptsOnlyMarkersPutIn) {
  std::vector<std::size_t> added;
  EXPECT_EQ(inserted_markers(GetParam().word, GetParam().segmented, added), GetParam().ok);
  if (GetParam().ok) {
    EXPECT_EQ(added, GetParam().added);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, InsertedMarkersTest,
    testing::Values(MarkerCase{"kotami", "kot\xE2\x96\x81" "ami", true, {3}},
                    MarkerCase{"kot", "kot", true, {}},
                    MarkerCase{"kot", "\xE2\x96\x81kot\xE2\x96\x81", true, {0, 6}},
                    MarkerCase{"k\xE2\x96\x81t", "k\xE2\x96\x81\xE2\x96\x81t", true, {4}},
                    MarkerCase{"kot", "pies", false, {}}, MarkerCase{"kot", "ko", false, {}},
                    MarkerCase{"kot", "kota", false, {}}, MarkerCase{"\xC4\x85", "\xC4\x84", false, {}}));

TEST(SegmentationTable, LooksUpAndKeepsUnknownWordsWhole) {
  SegmentationTable table;
  table.add("kotami", "kot\xE2\x96\x81" "ami");
  std::string out = " ";
  table.segment("kotami", out);
  table.segment("pies", out);
  EXPECT_EQ(out, " kot\xE2\x96\x81" "amipies");
  EXPECT_TRUE(table.contains("kotami"));
  EXPECT_FALSE(table.contains("kot"));
}

}  // namespace
}  // namespace morfex::text
