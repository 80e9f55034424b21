#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/batch.h"
#include "engine/text_encoder.h"
#include "test_model.h"

namespace morfex::engine {
namespace {

const std::string kMarker = "\xE2\x96\x81";

// Puts a marker after the first two bytes of longer words, and counts its calls.
class CountingSegmenter final : public text::WordSegmenter {
 public:
  void segment(std::string_view word, std::string& out) const override {
    calls.fetch_add(1, std::memory_order_relaxed);
    if (word.size() <= 2) {
      out.append(word);
      return;
    }
    out.append(word.substr(0, 2));
    out.append(kMarker);
    out.append(word.substr(2));
  }
  mutable std::atomic<std::size_t> calls{0};
};

std::vector<TokenId> encoded(Engine& engine, const std::vector<std::string>& texts, const TextOptions& options,
                             std::size_t threads) {
  const TextModel model(engine.model(), std::nullopt);
  std::vector<WordRef> refs;
  for (const std::string& text : texts) refs.push_back({text.data(), text.size(), Units::kUtf8});
  Session session(engine, threads, nullptr);
  EncodedWords out;
  EXPECT_EQ(session.encode_texts(refs, model, options, out), kNoWord);
  return {out.ids.data(), out.ids.data() + out.ids.size()};
}

TEST(TextMemo, APureSegmenterIsAskedOnceAWordOnceTheMemoStartsAndGivesTheSameIds) {
  const std::vector<std::pair<std::string, TokenId>> vocab = {
      {"<unk>", 1}, {kMarker, 4}, {"a", 5}, {"b", 6}, {"c", 7}, {" ", 8}, {"ab", 9}, {" a", 10}, {"ca", 11}};
  Engine engine(bpe::testing_support::model_of(vocab, {{"a", "b"}, {" ", "a"}, {"c", "a"}}), 16);
  const std::vector<std::string> texts(5000, "ab abc ca abab cab");
  const std::size_t words = 5 * texts.size();
  for (const std::size_t threads : {1u, 2u}) {
    CountingSegmenter pure;
    CountingSegmenter asked_always;
    const std::vector<TokenId> remembered = encoded(engine, texts, {&pure, true, true}, threads);
    EXPECT_EQ(remembered, encoded(engine, texts, {&asked_always, true, false}, threads));
    EXPECT_EQ(asked_always.calls, words);
    // Each worker asks for every word until its memo starts, then once per distinct word.
    EXPECT_LE(pure.calls, threads * (kMemoAfterWords + 5));
  }
}

std::vector<TokenId> encoded_with(Engine& engine, const TextModel& model, const std::vector<std::string>& texts,
                                  const TextOptions& options, std::size_t threads) {
  std::vector<WordRef> refs;
  for (const std::string& text : texts) refs.push_back({text.data(), text.size(), Units::kUtf8});
  Session session(engine, threads, nullptr);
  EncodedWords out;
  EXPECT_EQ(session.encode_texts(refs, model, options, out), kNoWord);
  return {out.ids.data(), out.ids.data() + out.ids.size()};
}

// Puts a marker after the first byte of longer words: other answers than CountingSegmenter's.
class OtherSegmenter final : public text::WordSegmenter {
 public:
  void segment(std::string_view word, std::string& out) const override {
    out.append(word.substr(0, 1));
    if (word.size() > 1) out.append(kMarker);
    out.append(word.substr(word.empty() ? 0 : 1));
  }
};

TEST(TextMemo, AnEngineKeepsAWorkersMemoForTheNextCallOfTheSameSegmenterOnly) {
  const std::vector<std::pair<std::string, TokenId>> vocab = {
      {"<unk>", 1}, {kMarker, 4}, {"a", 5}, {"b", 6}, {"c", 7}, {" ", 8}, {"ab", 9}, {" a", 10}, {"ca", 11}};
  Engine engine(bpe::testing_support::model_of(vocab, {{"a", "b"}, {" ", "a"}, {"c", "a"}}), 16);
  const TextModel model(engine.model(), std::nullopt);
  const std::vector<std::string> texts(2000, "ab abc ca abab cab");
  CountingSegmenter pure;
  const std::vector<TokenId> first = encoded_with(engine, model, texts, {&pure, true, true}, 1);
  const std::size_t asked = pure.calls;
  EXPECT_EQ(encoded_with(engine, model, texts, {&pure, true, true}, 1), first);
  EXPECT_EQ(pure.calls, asked);  // every word was known from the first call

  // Another segmenter, the markers' ids left out, or another text model: none gets the memo's answers.
  OtherSegmenter other;
  CountingSegmenter fresh;
  EXPECT_EQ(encoded_with(engine, model, texts, {&other, true, true}, 1),
            encoded_with(engine, model, texts, {&other, true, false}, 1));
  EXPECT_EQ(encoded_with(engine, model, texts, {&pure, false, true}, 1),
            encoded_with(engine, model, texts, {&fresh, false, false}, 1));
  const TextModel again(engine.model(), std::nullopt);
  const std::size_t before = pure.calls;
  EXPECT_EQ(encoded_with(engine, again, texts, {&pure, true, true}, 1), first);
  EXPECT_GT(pure.calls, before);
}

}  // namespace
}  // namespace morfex::engine
