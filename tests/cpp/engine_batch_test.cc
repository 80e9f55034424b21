#include "engine/batch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "test_model.h"

namespace morfex::engine {
namespace {

const std::string kMarker = "\xE2\x96\x81";

Model example_model() {
  const std::vector<std::pair<std::string, TokenId>> vocab = {
      {"<pad>", 0}, {"<unk>", 1}, {kMarker, 4}, {"a", 5}, {"b", 6}, {"c", 7}, {"ab", 8}, {"abc", 9},
      {"\xC3\xA9", 10}, {"\xF0\x9F\x98\x80", 11}, {"ca", 12}, {"\t", 13}, {"a\tb", 14}};
  return bpe::testing_support::model_of(vocab, {{"a", "b"}, {"ab", "c"}, {"c", "a"}, {"a\t", "b"}, {"a", "\tb"}});
}

// Random words over pieces that merge, miss the vocabulary, and take one to four bytes.
std::vector<std::string> random_words(std::size_t count, std::uint32_t seed) {
  const std::vector<std::string> pieces = {"a", "b", "c", "ab", kMarker, "\xC3\xA9", "\xF0\x9F\x98\x80", "\t", "z"};
  std::mt19937 rng(seed);
  std::vector<std::string> words(count);
  for (std::string& word : words) {
    const std::size_t length = rng() % 12;
    for (std::size_t i = 0; i < length; ++i) word += pieces[rng() % pieces.size()];
  }
  // Some long words, which the caches never keep.
  for (std::size_t i = 0; i < count; i += 97) words[i] = std::string(200 + i % 50, 'a') + "bc";
  return words;
}

std::vector<WordRef> refs_of(const std::vector<std::string>& words) {
  std::vector<WordRef> refs;
  for (const std::string& word : words) refs.push_back(WordRef::utf8(word));
  return refs;
}

// What the per-word calls give, flattened.
EncodedWords one_by_one(const Model& model, const std::vector<std::string>& words) {
  EncodedWords out;
  for (const std::string& word : words) {
    IdBuffer ids;
    encode_word(model, word, ids);
    out.ids.append(ids.data(), ids.size());
    out.ends.push_back(static_cast<std::int64_t>(out.ids.size()));
  }
  return out;
}

std::vector<TokenId> ids_of(const EncodedWords& out) { return {out.ids.begin(), out.ids.end()}; }
std::vector<std::int64_t> ends_of(const EncodedWords& out) { return {out.ends.begin(), out.ends.end()}; }

class ThreadsAndCache : public testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(ThreadsAndCache, EncodeEqualsPerWordCallsOverSeveralBlocks) {
  const auto [threads, cache] = GetParam();
  Engine engine(example_model(), cache);
  const std::vector<std::string> words = random_words(20000, 7);
  const EncodedWords expected = one_by_one(engine.model(), words);
  Session session(engine, threads, nullptr);
  EncodedWords out;
  const std::vector<WordRef> refs = refs_of(words);
  // Blocks of uneven sizes, so block starts fall inside and between chunks.
  for (std::size_t start = 0; start < refs.size();) {
    const std::size_t count = std::min<std::size_t>(refs.size() - start, 1 + start % 9001);
    ASSERT_EQ(session.encode(std::span(refs).subspan(start, count), out), kNoWord);
    start += count;
  }
  EXPECT_EQ(ids_of(out), ids_of(expected));
  EXPECT_EQ(ends_of(out), ends_of(expected));
}

TEST_P(ThreadsAndCache, DecodeEqualsPerWordCalls) {
  const auto [threads, cache] = GetParam();
  Engine engine(example_model(), cache);
  std::mt19937 rng(11);
  std::vector<TokenId> ids(60000);
  for (TokenId& id : ids) id = rng() % 20;
  std::vector<std::int64_t> offsets = {5};
  while (offsets.back() < 59000) offsets.push_back(offsets.back() + static_cast<std::int64_t>(rng() % 7));
  Session session(engine, threads, nullptr);
  DecodedWords out;
  session.decode(std::span(ids).subspan(5), offsets, out);
  ASSERT_EQ(out.texts.size(), offsets.size() - 1);
  for (std::size_t i = 0; i + 1 < offsets.size(); ++i) {
    TextBuffer text;
    const auto span = std::span(ids).subspan(offsets[i], offsets[i + 1] - offsets[i]);
    const TextShape shape = decode_word(engine.model(), span, text);
    ASSERT_EQ(out.texts[i], std::string_view(text.data(), text.size())) << i;
    ASSERT_EQ(out.shapes[i].chars, shape.chars);
    ASSERT_EQ(out.shapes[i].widest, shape.widest);
  }
}

INSTANTIATE_TEST_SUITE_P(Engine, ThreadsAndCache,
                         testing::Combine(testing::Values(1, 2, 3, 8), testing::Values(0, 16, 4096)));

TEST(Session, ReadsInterpreterUnitsAsTheirUtf8) {
  Engine engine(example_model(), 64);
  const std::vector<std::uint8_t> latin1 = {'a', 0xE9, 'b'};
  const std::vector<std::uint16_t> ucs2 = {'a', 'b', 0x2581, 'c', 0xE9};
  const std::vector<std::uint32_t> ucs4 = {0x1F600, 'c', 'a', 0x2581};
  const std::vector<WordRef> refs = {{latin1.data(), latin1.size(), Units::kLatin1},
                                     {ucs2.data(), ucs2.size(), Units::kUcs2},
                                     {ucs4.data(), ucs4.size(), Units::kUcs4}};
  const EncodedWords expected =
      one_by_one(engine.model(), {"a\xC3\xA9" "b", "ab" + kMarker + "c\xC3\xA9", "\xF0\x9F\x98\x80" "ca" + kMarker});
  Session session(engine, 1, nullptr);
  EncodedWords out;
  ASSERT_EQ(session.encode(refs, out), kNoWord);
  EXPECT_EQ(ids_of(out), ids_of(expected));
  EXPECT_EQ(ends_of(out), ends_of(expected));
}

class SurrogateAt : public testing::TestWithParam<std::size_t> {};

TEST_P(SurrogateAt, ReportsTheFirstWordWithALoneSurrogate) {
  const std::size_t threads = GetParam();
  Engine engine(example_model(), 0);
  const std::vector<std::uint16_t> surrogate = {'a', 0xD800};
  const std::vector<std::uint32_t> wide_surrogate = {0x1F600, 0xDFFF};
  std::vector<WordRef> refs(30000, WordRef::utf8("abc"));
  refs[12345] = {wide_surrogate.data(), wide_surrogate.size(), Units::kUcs4};
  refs[23456] = {surrogate.data(), surrogate.size(), Units::kUcs2};
  refs[29000] = {surrogate.data(), surrogate.size(), Units::kUcs2};
  Session session(engine, threads, nullptr);
  EncodedWords out;
  EXPECT_EQ(session.encode(refs, out), 12345u);
  EXPECT_EQ(first_unencodable(refs), 12345u);
  EXPECT_EQ(first_unencodable(std::span(refs).first(12345)), kNoWord);
}

INSTANTIATE_TEST_SUITE_P(Engine, SurrogateAt, testing::Values(1, 2, 8));

struct Interrupted : std::runtime_error {
  Interrupted() : std::runtime_error("interrupted") {}
};

class PollThrows : public testing::TestWithParam<std::size_t> {};

TEST_P(PollThrows, StopsTheWorkAndRethrowsOnTheCaller) {
  Engine engine(example_model(), 0);
  std::atomic<int> polls{0};
  Session session(engine, GetParam(), [&] {
    if (polls++ == 0) throw Interrupted();
  });
  // Long words, so that the poll interval passes within the block.
  const std::vector<std::string> words(40000, std::string(3000, 'a'));
  EncodedWords out;
  EXPECT_THROW(session.encode(refs_of(words), out), Interrupted);
  EXPECT_EQ(polls.load(), 1);
  EXPECT_LT(out.ids.size(), 40000u * 3000u);
  // The session stays usable after a stopped run.
  EncodedWords small;
  EXPECT_EQ(session.encode(refs_of({"ab", "abc"}), small), kNoWord);
  EXPECT_EQ(ids_of(small), (std::vector<TokenId>{8, 9}));
}

INSTANTIATE_TEST_SUITE_P(Engine, PollThrows, testing::Values(1, 2, 4));

// Puts a marker after each "a" but a last one: a stand-in with output of its own size.
class MarkAfterA final : public text::WordSegmenter {
 public:
  void segment(std::string_view word, std::string& out) const override {
    for (std::size_t i = 0; i < word.size(); ++i) {
      out.push_back(word[i]);
      if (word[i] == 'a' && i + 1 < word.size()) out += kMarker;
    }
  }
};

class SegmentThreads : public testing::TestWithParam<std::size_t> {};

TEST_P(SegmentThreads, ASessionWithoutAnEngineSegmentsAsPerWordCalls) {
  const MarkAfterA segmenter;
  const std::vector<std::string> words = random_words(20000, 7);
  Session session(GetParam(), nullptr);
  std::vector<std::string_view> out;
  ASSERT_EQ(session.segment(refs_of(words), segmenter, out), kNoWord);
  ASSERT_EQ(out.size(), words.size());
  for (std::size_t i = 0; i < words.size(); ++i) {
    std::string expected;
    segmenter.segment(words[i], expected);
    ASSERT_EQ(out[i], expected) << "word " << i;
  }
  // The first lone surrogate wins, whichever worker meets it first.
  const std::vector<std::uint16_t> surrogate = {'a', 0xD800};
  std::vector<WordRef> refs = refs_of(words);
  refs[15000] = {surrogate.data(), surrogate.size(), Units::kUcs2};
  refs[9000] = {surrogate.data(), surrogate.size(), Units::kUcs2};
  EXPECT_EQ(session.segment(refs, segmenter, out), 9000u);
  EXPECT_EQ(session.segment({}, segmenter, out), kNoWord);
  EXPECT_TRUE(out.empty());
}

INSTANTIATE_TEST_SUITE_P(Engine, SegmentThreads, testing::Values(1, 2, 8));

TEST(WorkerTeam, RunsEveryWorkerOnceAndRethrowsAHelpersFailure) {
  WorkerTeam team(4);
  std::vector<std::atomic<int>> runs(4);
  for (int round = 0; round < 50; ++round) {
    EXPECT_EQ(team.run(4, [&](std::size_t worker) { ++runs[worker]; }), 4u);
  }
  for (auto& count : runs) EXPECT_EQ(count.load(), 50);
  EXPECT_EQ(team.run(2, [&](std::size_t worker) { ++runs[worker]; }), 2u);
  EXPECT_EQ(runs[2].load(), 50);
  EXPECT_THROW(team.run(4,
                        [](std::size_t worker) {
                          if (worker == 3) throw Interrupted();
                        }),
               Interrupted);
  EXPECT_EQ(team.run(9, [](std::size_t) {}), 4u);
}

}  // namespace
}  // namespace morfex::engine
