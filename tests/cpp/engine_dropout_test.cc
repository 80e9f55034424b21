#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "engine/batch.h"
#include "engine/text_encoder.h"
#include "test_model.h"

namespace morfex::engine {
namespace {

const std::string kMarker = "\xE2\x96\x81";

Model example_model() {
  const std::vector<std::pair<std::string, TokenId>> vocab = {
      {"<unk>", 1}, {kMarker, 4}, {"a", 5},  {"b", 6},  {"c", 7},  {"ab", 8},
      {"abc", 9},   {" ", 10},    {"ca", 11}, {" a", 12}, {"abab", 13}};
  return bpe::testing_support::model_of(vocab, {{"a", "b"}, {"ab", "c"}, {"c", "a"}, {" ", "a"}, {"ab", "ab"}});
}

std::vector<std::string> random_words(std::size_t count, std::uint32_t seed) {
  const std::vector<std::string> pieces = {"a", "b", "c", "ab", kMarker, "\xC3\xA9", "z"};
  std::mt19937 rng(seed);
  std::vector<std::string> words(count);
  for (std::string& word : words) {
    for (std::size_t length = rng() % 12; length > 0; --length) word += pieces[rng() % pieces.size()];
  }
  for (std::size_t i = 0; i < count; i += 97) words[i] = std::string(100 + i % 50, 'a') + "bc";
  return words;
}

std::vector<WordRef> refs_of(const std::vector<std::string>& words) {
  std::vector<WordRef> refs;
  for (const std::string& word : words) refs.push_back(WordRef::utf8(word));
  return refs;
}

std::vector<TokenId> ids_of(const EncodedWords& out) { return {out.ids.begin(), out.ids.end()}; }

class DropoutThreadsAndCache : public testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(DropoutThreadsAndCache, WordIDrawsFromItsOwnStreamWhateverTheBlocks) {
  const auto [threads, cache] = GetParam();
  Engine engine(example_model(), cache);
  // Few distinct words, so that a cache would answer if it were asked.
  std::vector<std::string> words = random_words(300, 5);
  for (std::size_t i = 0; words.size() < 20000; ++i) words.push_back(words[i % 300]);
  constexpr double kRate = 0.3;
  constexpr std::uint64_t kSeed = 0xDEADBEEF12345678u;
  EncodedWords expected;
  for (std::size_t i = 0; i < words.size(); ++i) {
    IdBuffer ids;
    RandomStream stream(kSeed ^ bpe::mix(i + 1));
    encode_word_dropout(engine.model(), words[i], kRate, stream, ids, engine.model().record.unk_id);
    expected.ids.append(ids.data(), ids.size());
    expected.ends.push_back(static_cast<std::int64_t>(expected.ids.size()));
  }
  Session session(engine, threads, nullptr);
  EncodedWords out;
  const std::vector<WordRef> refs = refs_of(words);
  for (std::size_t start = 0; start < refs.size();) {
    const std::size_t count = std::min<std::size_t>(refs.size() - start, 1 + start % 9001);
    ASSERT_EQ(session.encode(std::span(refs).subspan(start, count), out, {kRate, kSeed, start}), kNoWord);
    start += count;
  }
  EXPECT_EQ(ids_of(out), ids_of(expected));
  EXPECT_EQ(std::vector<std::int64_t>(out.ends.begin(), out.ends.end()),
            std::vector<std::int64_t>(expected.ends.begin(), expected.ends.end()));
}

INSTANTIATE_TEST_SUITE_P(Engine, DropoutThreadsAndCache,
                         testing::Combine(testing::Values(1u, 2u, 4u), testing::Values(0u, 64u)));

TEST(Dropout, RateZeroIsExactEncodingWhateverTheSeed) {
  Engine engine(example_model(), 64);
  const std::vector<std::string> words = random_words(5000, 6);
  const std::vector<WordRef> refs = refs_of(words);
  Session session(engine, 2, nullptr);
  EncodedWords exact;
  EncodedWords zero;
  ASSERT_EQ(session.encode(refs, exact), kNoWord);
  ASSERT_EQ(session.encode(refs, zero, {0.0, 12345, 0}), kNoWord);
  EXPECT_EQ(ids_of(zero), ids_of(exact));
}

// Puts a marker after the first two bytes of longer words.
class SplittingSegmenter final : public text::WordSegmenter {
 public:
  void segment(std::string_view word, std::string& out) const override {
    out.append(word.substr(0, std::min<std::size_t>(word.size(), 2)));
    if (word.size() > 2) out.append(kMarker).append(word.substr(2));
  }
};

std::vector<std::vector<TokenId>> texts_encoded(Engine& engine, const std::vector<std::string>& texts,
                                                const TextOptions& options, std::size_t threads,
                                                const DropoutSettings& dropout) {
  const TextModel model(engine.model(), std::nullopt);
  Session session(engine, threads, nullptr);
  EncodedWords out;
  EXPECT_EQ(session.encode_texts(refs_of(texts), model, options, out, nullptr, dropout), kNoWord);
  std::vector<std::vector<TokenId>> each;
  std::int64_t start = 0;
  for (const std::int64_t end : out.ends) {
    each.emplace_back(out.ids.data() + start, out.ids.data() + end);
    start = end;
  }
  return each;
}

TEST(Dropout, TextsSampleAfreshPastTheSegmentersMemoOnAnyThreadCount) {
  Engine engine(example_model(), 64);
  const SplittingSegmenter segmenter;
  const TextOptions options{&segmenter, true, true};
  // Far more words than the memo waits for before it starts.
  const std::vector<std::string> texts(6000, "abab cabab ab");
  const DropoutSettings dropout{0.5, 3, 0};
  const std::vector<std::vector<TokenId>> one = texts_encoded(engine, texts, options, 1, dropout);
  EXPECT_EQ(texts_encoded(engine, texts, options, 2, dropout), one);
  const std::set<std::vector<TokenId>> late(one.end() - 1000, one.end());
  EXPECT_GT(late.size(), 20u);
  const std::vector<std::vector<TokenId>> exact = texts_encoded(engine, texts, options, 2, {});
  EXPECT_EQ(texts_encoded(engine, texts, options, 2, {0.0, 3, 0}), exact);
  EXPECT_NE(one, exact);
}

}  // namespace
}  // namespace morfex::engine
