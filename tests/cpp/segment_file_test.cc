#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "segment/segmentation_file.h"

namespace morfex::segment {
namespace {

MorphCounts read(std::string_view text, std::string_view separator = kMorfessorSeparator) {
  SegmentationLoader loader;
  read_segmentations(text, separator, loader);
  return loader.counts();
}

struct GoodFile {
  const char* name;
  std::string text;
  std::string separator;
  MorphCounts expected;
};

class SegmentFileTest : public ::testing::TestWithParam<GoodFile> {};

TEST_P(SegmentFileTest, Reads) { EXPECT_EQ(read(GetParam().text, GetParam().separator), GetParam().expected); }

const MorphCounts kKotAmi{{{"ami", 3}, {"kot", 5}}, 5};

INSTANTIATE_TEST_SUITE_P(
    Files, SegmentFileTest,
    ::testing::Values(
        GoodFile{"as_morfessor_writes", "# Output from Morfessor Baseline 2.0.6, 2026-01-01 10:00:00\n3 kot + ami\n2 kot\n",
                 " + ", kKotAmi},
        GoodFile{"no_final_newline", "3 kot + ami\n2 kot", " + ", kKotAmi},
        GoodFile{"crlf_and_trailing_space", "3 kot + ami \r\n2 kot\t\r\n", " + ", kKotAmi},
        GoodFile{"blank_and_comment_lines", "\n#x\n   \n3 kot + ami\n# 9 nope\n2 kot\n", " + ", kKotAmi},
        GoodFile{"trailing_no_break_space", "3 kot + ami\xC2\xA0\n2 kot\n", " + ", kKotAmi},
        GoodFile{"other_separator", "3 kot/ami\n2 kot\n", "/", kKotAmi},
        GoodFile{"plus_without_spaces_is_a_letter", "1 a+b\n", " + ", {{{"a+b", 1}}, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

struct BadFile {
  const char* name;
  std::string text;
  std::size_t line;
  std::string message;
};

class SegmentBadFileTest : public ::testing::TestWithParam<BadFile> {};

TEST_P(SegmentBadFileTest, Refused) {
  try {
    read(GetParam().text);
    FAIL() << "accepted";
  } catch (const InputError& error) {
    EXPECT_EQ(std::string(error.what()), GetParam().message);
    EXPECT_EQ(error.line(), GetParam().line);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, SegmentBadFileTest,
    ::testing::Values(
        BadFile{"no_space", "# c\n3 kot + ami\n12\n", 3, "no space after the count"},
        BadFile{"letters_for_count", "x kot\n", 1, "bad count 'x': expected a whole number from 1 to 9007199254740991"},
        BadFile{"leading_space", " 3 kot\n", 1, "bad count '': expected a whole number from 1 to 9007199254740991"},
        BadFile{"zero", "0 kot\n", 1, "bad count '0': expected a whole number from 1 to 9007199254740991"},
        BadFile{"sign", "+3 kot\n", 1, "bad count '+3': expected a whole number from 1 to 9007199254740991"},
        BadFile{"too_large", "9007199254740992 kot\n", 1,
                "bad count '9007199254740992': expected a whole number from 1 to 9007199254740991"},
        BadFile{"huge", "99999999999999999999999 kot\n", 1,
                "bad count '99999999999999999999999': expected a whole number from 1 to 9007199254740991"},
        // Cut off after a separator: the last morph keeps its half.
        BadFile{"truncated_after_separator", "3 kot + ami\n2 kot +", 2, "morph 'kot +' holds whitespace"},
        BadFile{"truncated_in_a_letter", "3 kot + ami\n2 \xC5", 2, "not valid UTF-8"},
        BadFile{"empty_morph", "2 kot +  + y\n", 1, "morph '' is empty"},
        BadFile{"double_space", "2  kot\n", 1, "morph ' kot' holds whitespace"},
        BadFile{"marker_in_morph", "2 kot\xE2\x96\x81y\n", 1, "morph 'kot\xE2\x96\x81y' holds the morpheme marker U+2581"},
        BadFile{"invalid_utf8_in_comment", "#\xFF\n", 1, "not valid UTF-8"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SegmentFile, EmptySeparatorRefused) {
  SegmentationLoader loader;
  EXPECT_THROW(read_segmentations("1 a\n", "", loader), InputError);
}

}  // namespace
}  // namespace morfex::segment
