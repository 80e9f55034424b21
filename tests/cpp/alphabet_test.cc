#include "train/alphabet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morfex::train {
namespace {

using Strings = std::vector<std::string>;

struct AlphabetCase {
  std::size_t limit;
  Strings expected;
};

class ChooseAlphabet : public testing::TestWithParam<AlphabetCase> {};

// Counts: a 5, b 5, c 1, ł 6, z 2 ("ł" sorts after ASCII by code point).
TEST_P(ChooseAlphabet, KeepsTheMostFrequentInCodePointOrder) {
  const MorphemeCounts morphemes{{"ab", 5}, {"c\xC5\x82", 1}, {"\xC5\x82z", 2}, {"\xC5\x82", 3}};
  EXPECT_EQ(choose_alphabet(morphemes, GetParam().limit), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ChooseAlphabet,
    testing::Values(AlphabetCase{0, {"a", "b", "c", "z", "\xC5\x82"}},
                    AlphabetCase{5, {"a", "b", "c", "z", "\xC5\x82"}},
                    AlphabetCase{9, {"a", "b", "c", "z", "\xC5\x82"}},
                    AlphabetCase{4, {"a", "b", "z", "\xC5\x82"}},
                    AlphabetCase{2, {"a", "\xC5\x82"}},
                    AlphabetCase{1, {"\xC5\x82"}}),
    [](const testing::TestParamInfo<AlphabetCase>& info) { return "limit_" + std::to_string(info.param.limit); });

}  // namespace
}  // namespace morfex::train
