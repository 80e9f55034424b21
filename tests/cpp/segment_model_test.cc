#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "naive_segment.h"
#include "segment/model.h"

namespace morfex::segment {
namespace {

std::string segmented(const Model& model, const std::string& word) {
  std::string out;
  model.segment(word, out);
  return out;
}

MorphCounts counts_of(std::vector<std::pair<std::string, std::int64_t>> morphs, std::int64_t words) {
  std::sort(morphs.begin(), morphs.end());
  return MorphCounts{std::move(morphs), words};
}

// Letters of one to four UTF-8 bytes, so code points and bytes never line up.
const std::vector<std::string> kLetters = {"a", "b", "k", "\xC4\x85", "\xC5\xBC", "\xE2\x82\xAC", "\xF0\x9D\x84\x9E"};
// What words may hold besides: bytes outside valid UTF-8 (a stray one, a cut
// character, a surrogate, an overlong form) and the marker itself.
const std::vector<std::string> kWordOnly = {"\xFF", "\xE2\x96", "\xC3", "\xED\xA0\x80", "\xC0\xAF", "\xE2\x96\x81"};

struct RandomCase {
  MorphCounts counts;
  std::vector<std::string> words;
};

RandomCase random_case(std::mt19937& rng, std::size_t letters, std::int64_t max_count, std::size_t max_word) {
  auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
  std::map<std::string, std::int64_t> morphs;
  // With two letters there are only 30 morphs of up to four letters.
  for (std::size_t types = 1 + pick(40); types > 0; --types) {
    std::string morph;
    for (std::size_t k = 1 + pick(4); k > 0; --k) morph += kLetters[pick(letters)];
    morphs[morph] = 1 + static_cast<std::int64_t>(pick(static_cast<std::size_t>(max_count)));
  }
  std::vector<std::string> keys;
  std::int64_t total = 0;
  for (const auto& [morph, count] : morphs) {
    keys.push_back(morph);
    total += count;
  }
  RandomCase c{counts_of({morphs.begin(), morphs.end()}, 1 + static_cast<std::int64_t>(pick(static_cast<std::size_t>(total)))), {}};
  for (int w = 0; w < 200; ++w) {
    std::string word;
    if (w % 2 == 0) {
      // Morphs of the model one after another: mostly seen pieces.
      for (std::size_t k = 1 + pick(6); k > 0; --k) word += keys[pick(keys.size())];
    } else {
      // Any letters, also ones the model lacks, past the longest morph considered.
      for (std::size_t k = 1 + pick(max_word); k > 0; --k) {
        const std::size_t i = pick(kLetters.size() + kWordOnly.size());
        word += i < kLetters.size() ? kLetters[i] : kWordOnly[i - kLetters.size()];
      }
    }
    c.words.push_back(word);
  }
  return c;
}

struct RandomShape {
  std::size_t letters;
  std::int64_t max_count;
  std::size_t max_word;
};

class SegmentRandomTest : public ::testing::TestWithParam<RandomShape> {};

TEST_P(SegmentRandomTest, MatchesNaiveViterbi) {
  const RandomShape shape = GetParam();
  std::mt19937 rng(static_cast<unsigned>(shape.letters * 1000 + shape.max_count));
  for (int round = 0; round < 60; ++round) {
    const RandomCase c = random_case(rng, shape.letters, shape.max_count, shape.max_word);
    const Model model(c.counts);
    for (const std::string& word : c.words) {
      ASSERT_EQ(segmented(model, word), naive::segment(c.counts, word)) << "word " << word << ", round " << round;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, SegmentRandomTest,
                         ::testing::Values(
                             // Two letters and counts of 1 or 2: many exact ties.
                             RandomShape{2, 2, 12}, RandomShape{3, 3, 40}, RandomShape{7, 1000, 70},
                             RandomShape{5, 1'000'000'000'000, 35}));

struct Example {
  const char* name;
  std::vector<std::pair<std::string, std::int64_t>> morphs;
  std::int64_t words;
  std::string word;
  std::string expected;
};

class SegmentExampleTest : public ::testing::TestWithParam<Example> {};

TEST_P(SegmentExampleTest, Segments) {
  const Example& e = GetParam();
  const Model model(counts_of(e.morphs, e.words));
  std::string out = "kept ";
  model.segment(e.word, out);
  EXPECT_EQ(out, "kept " + e.expected);
  EXPECT_EQ(segmented(model, e.word), naive::segment(model.counts(), e.word));
}

const std::vector<std::pair<std::string, std::int64_t>> kKot = {{"kot", 50}, {"ami", 30}, {"y", 40}, {"a", 10}};

INSTANTIATE_TEST_SUITE_P(
    Words, SegmentExampleTest,
    ::testing::Values(Example{"empty", kKot, 60, "", ""}, Example{"known_morph", kKot, 60, "kot", "kot"},
                      Example{"two_morphs", kKot, 60, "kotami", "kot\xE2\x96\x81" "ami"},
                      Example{"unseen_letters_stay_whole", kKot, 60, "xyz", "xyz"},
                      // Long new morphs cost more than their length: cut into seven.
                      Example{"longer_than_maxlen", {{"q", 1}}, 1, std::string(31, 'z'),
                              "zzzz\xE2\x96\x81zzzz\xE2\x96\x81zzzz\xE2\x96\x81zzzz\xE2\x96\x81zzzzz\xE2\x96\x81zzzzz\xE2\x96\x81zzzzz"},
                      Example{"unseen_letter_alone", kKot, 60, "kotQami", "kot\xE2\x96\x81Q\xE2\x96\x81" "ami"},
                      Example{"multibyte", {{"\xC5\xBC" "ab", 9}, {"y", 9}}, 9, "\xC5\xBC" "aby",
                              "\xC5\xBC" "ab\xE2\x96\x81y"}),
    [](const auto& info) { return std::string(info.param.name); });

// A byte outside valid UTF-8 is segmented like a letter the model lacks, and kept.
TEST(SegmentModel, InvalidBytesActLikeUnseenLetters) {
  const Model model(counts_of(kKot, 60));
  for (const std::string word : {"kot?ami", "?", "ami??y", "y?"}) {
    std::string invalid = word;
    std::string unseen = word;
    for (char& c : invalid) c = c == '?' ? '\xFF' : c;
    for (char& c : unseen) c = c == '?' ? 'Q' : c;
    std::string expected = segmented(model, unseen);
    for (char& c : expected) c = c == 'Q' ? '\xFF' : c;
    EXPECT_EQ(segmented(model, invalid), expected) << word;
  }
}

TEST(SegmentModel, SameResultsOnManyThreadsAtOnce) {
  std::mt19937 rng(7);
  const RandomCase c = random_case(rng, 5, 100, 40);
  const Model model(c.counts);
  std::vector<std::string> expected;
  for (const std::string& word : c.words) expected.push_back(naive::segment(c.counts, word));
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        for (std::size_t w = 0; w < c.words.size(); ++w) {
          if (segmented(model, c.words[(w + static_cast<std::size_t>(t) * 37) % c.words.size()]) !=
              expected[(w + static_cast<std::size_t>(t) * 37) % c.words.size()]) {
            ++mismatches[static_cast<std::size_t>(t)];
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

struct BadCounts {
  const char* name;
  MorphCounts counts;
  std::string message;
};

class SegmentBadCountsTest : public ::testing::TestWithParam<BadCounts> {};

TEST_P(SegmentBadCountsTest, Refused) {
  try {
    Model model(GetParam().counts);
    FAIL() << "accepted";
  } catch (const InputError& error) {
    EXPECT_EQ(std::string(error.what()), GetParam().message);
    EXPECT_EQ(error.line(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Counts, SegmentBadCountsTest,
    ::testing::Values(
        BadCounts{"no_morphs", {{}, 1}, "there are no morphs"},
        BadCounts{"no_words", {{{"a", 1}}, 0}, "the number of words must be from 1 to 9007199254740991, got 0"},
        BadCounts{"zero_count", {{{"a", 0}}, 1},
                  "the count of morph 'a' must be from 1 to 9007199254740991 in all, got 0"},
        BadCounts{"total_too_large", {{{"a", kMaxCount}, {"b", 1}}, 1},
                  "the count of morph 'b' must be from 1 to 9007199254740991 in all, got 1"},
        BadCounts{"unsorted", {{{"b", 1}, {"a", 1}}, 1}, "morph 'a' is out of order or repeated"},
        BadCounts{"repeated", {{{"a", 1}, {"a", 1}}, 1}, "morph 'a' is out of order or repeated"},
        BadCounts{"empty_morph", {{{"", 1}}, 1}, "morph '' is empty"},
        BadCounts{"space", {{{"a b", 1}}, 1}, "morph 'a b' holds whitespace"},
        BadCounts{"no_break_space", {{{"a\xC2\xA0", 1}}, 1}, "morph 'a\xC2\xA0' holds whitespace"},
        BadCounts{"marker", {{{"a\xE2\x96\x81" "b", 1}}, 1}, "morph 'a\xE2\x96\x81" "b' holds the morpheme marker U+2581"},
        BadCounts{"invalid_utf8", {{{"a\xC3", 1}}, 1}, "morph 'a\xC3' is not valid UTF-8"},
        BadCounts{"fewer_morphs_than_words", {{{"a", 2}}, 3},
                  "the morph counts add up to 2, fewer than the 3 words"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace morfex::segment
