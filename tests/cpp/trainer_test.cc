#include "train/trainer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bpe/vocabulary.h"
#include "reference_trainer.h"
#include "train/corpus.h"

namespace morfex::train {
namespace {

using Strings = std::vector<std::string>;
using Merges = bpe::MergeList;
const std::string kMarker(bpe::kBoundaryMarker);
const Strings kBase{"<pad>", "<unk>", "<s>", "</s>", kMarker};

Strings with_base(const Strings& rest) {
  Strings all = kBase;
  all.insert(all.end(), rest.begin(), rest.end());
  return all;
}

Strings with_bytes(const Strings& rest) {
  Strings all;
  for (const char* high = "0123456789ABCDEF"; *high; ++high) {
    for (const char* low = "0123456789ABCDEF"; *low; ++low) all.push_back(std::string("<0x") + *high + *low + ">");
  }
  all.insert(all.end(), rest.begin(), rest.end());
  return all;
}

struct TrainCase {
  const char* name;
  std::string corpus;
  TrainOptions options;
  Strings tokens;
  Merges merges;
};

class TrainExamples : public testing::TestWithParam<TrainCase> {};

TEST_P(TrainExamples, GiveTheExpectedModel) {
  const TrainCase& c = GetParam();
  const TrainedModel model = train(count_morphemes(c.corpus), c.options);
  EXPECT_EQ(model.tokens, c.tokens);
  EXPECT_EQ(model.merges, c.merges);
}

INSTANTIATE_TEST_SUITE_P(
    Corpora, TrainExamples,
    testing::Values(
        TrainCase{"merges_never_cross_the_marker", "ab" + kMarker + "ba\t5\n", {20, 1, 0},
                  with_base({"a", "b", "ab", "ba"}), {{"a", "b"}, {"b", "a"}}},
        TrainCase{"ties_go_to_smaller_ids", "cd\nab\n", {20, 1, 0},
                  with_base({"a", "b", "c", "d", "ab", "cd"}), {{"a", "b"}, {"c", "d"}}},
        TrainCase{"higher_count_first", "ab\ncd\t2\n", {20, 1, 0},
                  with_base({"a", "b", "c", "d", "cd", "ab"}), {{"c", "d"}, {"a", "b"}}},
        TrainCase{"min_frequency_stops", "ab\t3\ncd\t2\n", {20, 3, 0},
                  with_base({"a", "b", "c", "d", "ab"}), {{"a", "b"}}},
        TrainCase{"vocab_size_stops", "abc\t3\n", {9, 1, 0},
                  with_base({"a", "b", "c", "ab"}), {{"a", "b"}}},
        TrainCase{"base_is_kept_whole", "abc\t3\n", {2, 1, 0}, with_base({"a", "b", "c"}), {}},
        TrainCase{"rare_characters_split_units", "axb\t4\nab\n", {20, 1, 2},
                  with_base({"a", "b", "ab"}), {{"a", "b"}}},
        TrainCase{"special_strings_are_never_made", "<s>\t9\n", {20, 1, 0},
                  with_base({"<", ">", "s", "<s"}), {{"<", "s"}}},
        TrainCase{"overlapping_runs", "aaaaa\n", {20, 1, 0},
                  with_base({"a", "aa", "aaa", "aaaaa"}),
                  {{"a", "a"}, {"aa", "a"}, {"aa", "aaa"}}},
        TrainCase{"byte_tokens_follow_the_marker", "ab\t2\n", {270, 1, 0, true},
                  with_base(with_bytes({"a", "b", "ab"})), {{"a", "b"}}},
        TrainCase{"byte_token_strings_are_never_made", "<0x41>\t3\n", {300, 1, 0, true},
                  with_base(with_bytes({"0", "1", "4", "<", ">", "x", "0x", "1>", "41>", "<0x"})),
                  {{"0", "x"}, {"1", ">"}, {"4", "1>"}, {"<", "0x"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Train, ReportsProgressUpToTheFinalCount) {
  std::vector<std::pair<std::size_t, std::size_t>> calls;
  train(count_morphemes("abcdefgh\t2\n"), {15, 1, 0},
        [&](std::size_t done, std::size_t total) { calls.emplace_back(done, total); });
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), std::make_pair(std::size_t{2}, std::size_t{2}));
}

std::string random_corpus(std::mt19937& rng) {
  static const Strings kPieces{"a", "b", "c", "\xC5\x82", "<", "s", ">", "/", kMarker, "<0x4", "1"};
  std::uniform_int_distribution<int> lines(0, 30), length(0, 9), count(1, 4);
  std::discrete_distribution<std::size_t> piece({8, 6, 2, 2, 1, 1, 1, 1, 3, 1, 1});
  std::string corpus;
  for (int line = lines(rng); line > 0; --line) {
    for (int n = length(rng); n >= 0; --n) corpus += kPieces[piece(rng)];
    if (count(rng) > 1) {
      corpus += '\t';
      corpus += std::to_string(count(rng));
    }
    corpus += "\n";
  }
  return corpus;
}

struct Stopped {};

TEST(Train, PollsWhileItReadsOneLongWordAndStopsWhenThePollThrows) {
  // One word: no merge comes before all of it has been read and counted.
  std::string word;
  std::mt19937 rng(3);
  for (int i = 0; i < 1'000'000; ++i) word.push_back(static_cast<char>('a' + rng() % 8));
  const MorphemeCounts morphemes = count_morphemes(word + "\n");
  std::size_t polls = 0;
  const TrainedModel model = train(morphemes, {20, 1, 0}, {}, [&] { ++polls; });
  EXPECT_GE(polls, 2u * 1'000'000 / 65536);
  std::size_t progress_calls = 0;
  EXPECT_THROW(train(
                   morphemes, {20, 1, 0}, [&](std::size_t, std::size_t) { ++progress_calls; },
                   [&] { throw Stopped(); }),
               Stopped);
  EXPECT_EQ(progress_calls, 0u);
  // A poll that returns changes nothing.
  const TrainedModel quiet = train(morphemes, {20, 1, 0});
  EXPECT_EQ(model.tokens, quiet.tokens);
  EXPECT_EQ(model.merges, quiet.merges);
}

TEST(Train, MatchesTheReferenceTrainerOnRandomCorpora) {
  std::mt19937 rng(20260508);
  std::uniform_int_distribution<std::size_t> vocab(5, 60), limit(0, 6);
  std::uniform_int_distribution<Count> frequency(0, 3);
  std::bernoulli_distribution byte_fallback(0.3);
  for (int round = 0; round < 400; ++round) {
    const std::string corpus = random_corpus(rng);
    const bool bytes = byte_fallback(rng);
    const TrainOptions options{vocab(rng) + (bytes ? 256 : 0), frequency(rng), limit(rng), bytes};
    const MorphemeCounts morphemes = count_morphemes(corpus);
    const TrainedModel fast = train(morphemes, options);
    const TrainedModel slow = reference::train(morphemes, options);
    ASSERT_EQ(fast.tokens, slow.tokens) << corpus;
    ASSERT_EQ(fast.merges, slow.merges) << corpus;
    for (const auto& [left, right] : fast.merges) {
      ASSERT_EQ(left.find(kMarker), std::string::npos);
      ASSERT_EQ(right.find(kMarker), std::string::npos);
    }
  }
}

// A whole corpus on one line makes units thousands of symbols long, where
// every merge meets several occurrences in the same unit.
TEST(Train, MatchesTheReferenceTrainerOnLongLines) {
  std::mt19937 rng(11);
  static const Strings kPieces{"a", "b", "c", " ", "\xC5\x82"};
  std::discrete_distribution<std::size_t> piece({6, 4, 2, 3, 1});
  for (int round = 0; round < 12; ++round) {
    std::string corpus;
    for (int n = 0; n < 3000; ++n) corpus += kPieces[piece(rng)];
    corpus += round % 2 ? "\t3\n" : "\n";
    const MorphemeCounts morphemes = count_morphemes(corpus);
    const bool bytes = round % 4 == 0;
    const TrainOptions options{bytes ? 316u : 60u, 1 + static_cast<Count>(round % 3), 0, bytes};
    const TrainedModel fast = train(morphemes, options);
    const TrainedModel slow = reference::train(morphemes, options);
    ASSERT_EQ(fast.tokens, slow.tokens);
    ASSERT_EQ(fast.merges, slow.merges);
  }
}

}  // namespace
}  // namespace morfex::train
