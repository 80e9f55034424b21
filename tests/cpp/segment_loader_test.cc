#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "segment/segmentation_loader.h"

namespace morfex::segment {
namespace {

struct Word {
  std::int64_t count;
  std::vector<std::string_view> morphs;
};

struct LoadCase {
  const char* name;
  std::vector<Word> words;
  std::vector<std::pair<std::string, std::int64_t>> morphs;
  std::int64_t total_words;
};

class SegmentLoaderTest : public ::testing::TestWithParam<LoadCase> {};

// The expected counts are what morfessor 2.0.6's load_segmentations gives.
TEST_P(SegmentLoaderTest, CountsAsMorfessorLoads) {
  SegmentationLoader loader;
  for (const Word& word : GetParam().words) loader.add(word.count, word.morphs);
  const MorphCounts counts = loader.counts();
  EXPECT_EQ(counts.morphs, GetParam().morphs);
  EXPECT_EQ(counts.words, GetParam().total_words);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, SegmentLoaderTest,
    ::testing::Values(
        // A later word's analysis runs through the earlier word's node and splits it.
        LoadCase{"word_then_longer_word", {{1, {"ab"}}, {2, {"x", "a", "b"}}}, {{"a", 3}, {"b", 3}, {"x", 2}}, 3},
        // The later unsplit word turns the shared suffix back into one morph.
        LoadCase{"longer_word_then_word", {{2, {"x", "a", "b"}}, {1, {"ab"}}}, {{"ab", 3}, {"x", 2}}, 3},
        LoadCase{"same_word_twice", {{3, {"ko", "ty"}}, {2, {"kot", "y"}}}, {{"kot", 5}, {"y", 5}}, 5},
        LoadCase{"shared_suffix_kept", {{1, {"a", "b", "c"}}, {5, {"x", "bc"}}}, {{"a", 1}, {"bc", 6}, {"x", 5}}, 6},
        LoadCase{"shared_suffix_split", {{5, {"x", "bc"}}, {1, {"a", "b", "c"}}},
                 {{"a", 1}, {"b", 6}, {"c", 6}, {"x", 5}}, 6},
        LoadCase{"repeated_morph", {{2, {"na", "na", "na"}}}, {{"na", 6}}, 2},
        LoadCase{"word_is_a_morph_of_another", {{4, {"a", "b"}}, {1, {"ab", "c"}}}, {{"a", 5}, {"b", 5}, {"c", 1}}, 5},
        LoadCase{"multibyte_split", {{7, {"\xC5\xBC" "ab", "y"}}}, {{"y", 7}, {"\xC5\xBC" "ab", 7}}, 7}),
    [](const auto& info) { return std::string(info.param.name); });

struct BadWord {
  const char* name;
  std::int64_t count;
  std::vector<std::string_view> morphs;
  std::string message;
};

class SegmentLoaderBadTest : public ::testing::TestWithParam<BadWord> {};

TEST_P(SegmentLoaderBadTest, Refused) {
  SegmentationLoader loader;
  loader.add(1, std::vector<std::string_view>{"a"});
  try {
    loader.add(GetParam().count, GetParam().morphs);
    FAIL() << "accepted";
  } catch (const InputError& error) {
    EXPECT_EQ(std::string(error.what()), GetParam().message);
  }
  // Nothing of the refused word is left behind.
  EXPECT_EQ(loader.counts(), (MorphCounts{{{"a", 1}}, 1}));
}

INSTANTIATE_TEST_SUITE_P(
    Words, SegmentLoaderBadTest,
    ::testing::Values(BadWord{"zero", 0, {"b"}, "the count must be from 1 to 9007199254740991, got 0"},
                      BadWord{"negative", -4, {"b"}, "the count must be from 1 to 9007199254740991, got -4"},
                      BadWord{"no_morphs", 1, {}, "a word needs at least one morph"},
                      BadWord{"empty_morph", 1, {"b", ""}, "morph '' is empty"},
                      BadWord{"tab", 1, {"b\tc"}, "morph 'b\tc' holds whitespace"},
                      // Each count times its word's morphs must stay within the limit.
                      BadWord{"total", kMaxCount / 2 + 1, {"b", "c"}, "the counts add up to more than 9007199254740991"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace morfex::segment
