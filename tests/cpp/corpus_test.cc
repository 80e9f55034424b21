#include "train/corpus.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace morfex::train {
namespace {

std::map<std::string, Count> sorted(const MorphemeCounts& counts) {
  return {counts.begin(), counts.end()};
}

struct CountCase {
  const char* name;
  const char* corpus;
  std::map<std::string, Count> expected;
};

class CountMorphemes : public testing::TestWithParam<CountCase> {};

TEST_P(CountMorphemes, SplitsAtMarkersAndSumsCounts) {
  EXPECT_EQ(sorted(count_morphemes(GetParam().corpus)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CountMorphemes,
    testing::Values(
        CountCase{"empty", "", {}},
        CountCase{"markers_split_words", "k\xE2\x96\x81um\xE2\x96\x81" "ain\n", {{"k", 1}, {"um", 1}, {"ain", 1}}},
        CountCase{"counts_sum_past_32_bits", "ab\t3\nab\nab\t4294967295", {{"ab", 4294967299ull}}},
        CountCase{"empty_morphemes_dropped", "a\xE2\x96\x81\xE2\x96\x81" "b\xE2\x96\x81\n\xE2\x96\x81\n", {{"a", 1}, {"b", 1}}},
        CountCase{"crlf_and_blank_lines", "x\r\n\n\r\ny\t2\r\n", {{"x", 1}, {"y", 2}}},
        CountCase{"spaces_and_tabs_inside_words", "a b\tc\t7\n", {{"a b\tc", 7}}},
        CountCase{"repeated_morpheme_in_a_word", "um\xE2\x96\x81um\t2\n", {{"um", 4}}}),
    [](const testing::TestParamInfo<CountCase>& info) { return std::string(info.param.name); });

struct ErrorCase {
  const char* name;
  const char* corpus;
  const char* message;
  std::size_t line;
};

class CorpusErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(CorpusErrors, NameTheLineAndTheFault) {
  try {
    count_morphemes(GetParam().corpus);
    FAIL() << "no error for " << GetParam().corpus;
  } catch (const CorpusError& error) {
    EXPECT_STREQ(error.what(), GetParam().message);
    EXPECT_EQ(error.line(), GetParam().line);
  }
}

INSTANTIATE_TEST_SUITE_P(
    BadLines, CorpusErrors,
    testing::Values(
        ErrorCase{"zero_count", "a\nb\t0\n", "line 2: count '0' is not an integer from 1 to 4294967295", 2},
        ErrorCase{"count_past_32_bits", "a\t4294967296", "line 1: count '4294967296' is not an integer from 1 to 4294967295", 1},
        ErrorCase{"count_far_too_large", "a\t99999999999", "line 1: count '99999999999' is not an integer from 1 to 4294967295", 1},
        ErrorCase{"empty_count", "a\t", "line 1: count '' is not an integer from 1 to 4294967295", 1},
        ErrorCase{"negative_count", "a\t-2", "line 1: count '-2' is not an integer from 1 to 4294967295", 1},
        ErrorCase{"leading_space", "a\t 2", "line 1: count ' 2' is not an integer from 1 to 4294967295", 1},
        ErrorCase{"empty_word", "\n\n\t5\n", "line 3: empty word before the count", 3}),
    [](const testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace morfex::train
