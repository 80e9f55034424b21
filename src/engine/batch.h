#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core_model.h"
#include "engine/flat_buffer.h"
#include "engine/team.h"
#include "engine/text_encoder.h"
#include "engine/word_cache.h"
#include "engine/word_text.h"
#include "text/word_segmenter.h"

namespace morfex::engine {

// One model, built once and read by every thread, and its word caches.
class Engine {
 public:
  Engine(Model model, std::size_t cache_capacity) : model_(std::move(model)), caches_(cache_capacity) {}

  const Model& model() const noexcept { return model_; }
  CachePool& caches() noexcept { return caches_; }

 private:
  Model model_;
  CachePool caches_;
};

// Called on the calling thread between words, at most every kPollInterval;
// it may throw to stop the call (the other workers then stop
// at their next chunk).
using Poll = std::function<void()>;
inline constexpr std::chrono::milliseconds kPollInterval{10};

// Below this many words a block runs on the calling thread alone: waking
// helpers would cost more than they save.
inline constexpr std::size_t kParallelWords = 4096;

// Encoded words: all ids one after another, and where each word ends.
struct EncodedWords {
  FlatBuffer<TokenId> ids;
  FlatBuffer<std::int64_t> ends;
};

// Decoded words, valid until the session decodes again.
struct DecodedWords {
  std::vector<std::string_view> texts;
  std::vector<TextShape> shapes;
};

// The state of one call that runs in blocks: its team of threads and the
// per-worker caches and buffers, kept from block to block. A session without
// an engine only segments.
class Session {
 public:
  Session(Engine& engine, std::size_t threads, Poll poll);
  Session(std::size_t threads, Poll poll);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Encodes each word, appending its ids to out.ids and its end (a position
  // in out.ids) to out.ends. Returns the index of the first word that holds
  // a lone surrogate, or kNoWord; out is unspecified after such a failure.
  // With dropout active, word i draws from dropout.stream(i) and no cache
  // answers (a cached word would repeat one sample).
  std::size_t encode(std::span<const WordRef> words, EncodedWords& out, const DropoutSettings& dropout = {});

  // The same for texts of running text (see encode_text). With `spans`,
  // also their character offsets; a session of one thread gives them. With
  // dropout active, text i draws from dropout.stream(i), piece after piece.
  std::size_t encode_texts(std::span<const WordRef> texts, const TextModel& model, const TextOptions& options,
                           EncodedWords& out, FlatBuffer<std::int64_t>* spans = nullptr,
                           const DropoutSettings& dropout = {});

  // Decodes word i from ids[offsets[i] - offsets[0], offsets[i + 1] - offsets[0]);
  // offsets are non-decreasing and span ids.
  void decode(std::span<const TokenId> ids, std::span<const std::int64_t> offsets, DecodedWords& out);
  // The same by decode_text, for texts.
  void decode_texts(const TextModel& model, std::span<const TokenId> ids, std::span<const std::int64_t> offsets,
                    DecodedWords& out);

  // Sets out[i] to word i with U+2581 between its morphs. Returns the index
  // of the first word that holds a lone surrogate, or kNoWord. The views
  // stay valid until the session segments again.
  std::size_t segment(std::span<const WordRef> words, const text::WordSegmenter& segmenter,
                      std::vector<std::string_view>& out);

 private:
  struct Worker;
  struct Chunking;
  Chunking chunking(std::size_t words) const;
  // encode(), with encode_one(worker, i, utf8, ids) appending the ids of item i.
  template <class EncodeOne>
  std::size_t encode_items(std::span<const WordRef> words, EncodedWords& out, EncodeOne&& encode_one);
  template <class DecodeOne>
  void decode_items(std::span<const TokenId> ids, std::span<const std::int64_t> offsets, DecodedWords& out,
                    DecodeOne&& decode_one);
  void poll_now();
  // Runs body(worker, chunk) over every chunk until a body returns false.
  void for_each_chunk(const Chunking& plan, const std::function<bool(Worker&, std::size_t)>& body);

  Engine* engine_;  // null for a session that only segments
  WorkerTeam team_;
  Poll poll_;
  std::chrono::steady_clock::time_point last_poll_;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<FlatBuffer<TokenId>> chunk_ids_;
  std::vector<std::uint32_t> counts_;
  std::vector<std::unique_ptr<TextBuffer>> chunk_text_;
  std::vector<std::size_t> text_ends_;
  std::vector<std::string> chunk_segmented_;
};

}  // namespace morfex::engine
