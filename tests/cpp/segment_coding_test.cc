#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "segment/coding.h"

namespace morfex::segment {
namespace {

double plain_log_factorial(std::int64_t n) {
  double sum = 0.0;
  for (std::int64_t k = 2; k <= n; ++k) sum += std::log(static_cast<double>(k));
  return sum;
}

// Stirling's approximation is low by about 1 / (12 n).
TEST(SegmentCoding, LogFactorialIsExactBelowTwentyAndStirlingFrom) {
  EXPECT_EQ(log_factorial(0), 0.0);
  EXPECT_EQ(log_factorial(1), 0.0);
  EXPECT_EQ(log_factorial(5), std::log(120.0));
  EXPECT_EQ(log_factorial(19), std::log(121645100408832000.0));
  const double x = 20.0;
  EXPECT_EQ(log_factorial(20), x * std::log(x) - x + 0.5 * (std::log(x) + std::log(2 * std::numbers::pi)));
  for (const std::int64_t n : {2, 10, 19, 20, 1000, (1 << 20) - 1, 1 << 20, 5'000'000}) {
    EXPECT_NEAR(log_factorial(n), plain_log_factorial(n), 1e-9 * plain_log_factorial(n) + 0.1 / static_cast<double>(n)) << n;
  }
}

TEST(SegmentCoding, TabledValuesEqualComputedOnesOnBothSidesOfTheTable) {
  for (const std::int64_t n : {2, 3, 65535, 65536, (1 << 20) - 1, 1 << 20, (1 << 20) + 1}) {
    EXPECT_EQ(count_log_count(n), static_cast<double>(n) * std::log(static_cast<double>(n))) << n;
  }
  EXPECT_EQ(count_log_count(0), 0.0);
  EXPECT_EQ(count_log_count(1), 0.0);
}

TEST(SegmentCoding, UpdatesSumCountTimesLogCount) {
  Coding coding;
  coding.update_count(0, 3);
  coding.update_count(0, 1);
  coding.update_count(3, 4);
  EXPECT_EQ(coding.tokens, 5);
  EXPECT_NEAR(coding.log_token_sum, 4 * std::log(4.0), 1e-12);
  coding.update_count(4, 0);
  coding.update_count(1, 0);
  EXPECT_EQ(coding.tokens, 0);
  EXPECT_NEAR(coding.log_token_sum, 0.0, 1e-12);
}

// Corpus "ab ab a": morphs ab (2) and a (1) over 3 words; lexicon atoms a (2), b (1).
TEST(SegmentCoding, CostsOfASmallModelByHand) {
  Coding corpus;
  corpus.boundaries = 3;
  corpus.update_count(0, 2);
  corpus.update_count(0, 1);
  const double n = 6.0;
  // Three types (two morphs and the end of a word) over three tokens: log(2!) / (0! 1!).
  const double distribution = std::log(2.0);
  const double code = n * std::log(n) - 3 * std::log(3.0) - 2 * std::log(2.0);
  EXPECT_NEAR(corpus_cost(corpus, 2), code + distribution, 1e-12);
  corpus.weight = 0.5;
  EXPECT_NEAR(corpus_cost(corpus, 2), code * 0.5 + distribution, 1e-12);

  Coding lexicon;
  lexicon.boundaries = 2;
  lexicon.update_count(0, 2);
  lexicon.update_count(0, 1);
  const double m = 5.0;
  const double lexicon_expected = m * std::log(m) - 2 * std::log(2.0) - 2 * std::log(2.0) - std::log(2.0) +
                                  (std::log(24.0) - std::log(2.0) - std::log(2.0));
  EXPECT_NEAR(lexicon_cost(lexicon, 2), lexicon_expected, 1e-12);

  EXPECT_EQ(corpus_cost(Coding{}, 0), 0.0);
  EXPECT_EQ(lexicon_cost(Coding{}, 0), 0.0);
  EXPECT_EQ(annotated_cost(Coding{}, corpus), 0.0);
  Coding annotated;
  annotated.boundaries = 1;
  annotated.tokens = 1;
  annotated.log_token_sum = std::log(2.0);
  annotated.weight = 3.0;
  EXPECT_NEAR(annotated_cost(annotated, corpus), (2 * std::log(6.0) - std::log(3.0) - std::log(2.0)) * 3.0, 1e-12);
}

}  // namespace
}  // namespace morfex::segment
