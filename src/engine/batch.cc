#include "engine/batch.h"

#include <algorithm>
#include <atomic>

namespace morfex::engine {
namespace {

// How often (in words) the calling thread looks at the clock to see whether to poll.
constexpr std::size_t kPollWords = 1024;

// Lowers `failed` to `index`: of several failing words, the first in order counts.
void record_failure(std::atomic<std::size_t>& failed, std::size_t index) noexcept {
  std::size_t seen = failed.load();
  while (index < seen && !failed.compare_exchange_weak(seen, index)) {
  }
}

}  // namespace

struct Session::Worker {
  bool caller = false;  // runs on the calling thread, so it polls
  std::unique_ptr<WordCache> cache;
  bool memo_asked = false;  // whether the pool was asked for a memo in this call
  std::vector<char> scratch;
  IdBuffer word;
  TextScratch text;
};

struct Session::Chunking {
  std::size_t words;
  std::size_t chunk;  // words per chunk
  std::size_t chunks;
  std::size_t workers;

  std::size_t begin(std::size_t c) const noexcept { return c * chunk; }
  std::size_t end(std::size_t c) const noexcept { return std::min(words, (c + 1) * chunk); }
};

Session::Session(Engine& engine, std::size_t threads, Poll poll)
    : engine_(&engine), team_(threads), poll_(std::move(poll)), last_poll_(std::chrono::steady_clock::now()) {}

Session::Session(std::size_t threads, Poll poll)
    : engine_(nullptr), team_(threads), poll_(std::move(poll)), last_poll_(std::chrono::steady_clock::now()) {}

Session::~Session() {
  if (engine_ == nullptr) return;
  for (std::unique_ptr<Worker>& worker : workers_) {
    engine_->caches().give_back(std::move(worker->cache));
    engine_->caches().give_back_memo(worker->text.memo_key, std::move(worker->text.memo));
  }
}

Session::Chunking Session::chunking(std::size_t words) const {
  if (words < kParallelWords || team_.size() == 1) return {words, std::max<std::size_t>(words, 1), 1, 1};
  // Several chunks per worker keep them busy to the end; chunks of a few
  // thousand words keep the shared counter cold.
  const std::size_t chunk = std::clamp<std::size_t>(words / (team_.size() * 8), 256, 4096);
  const std::size_t chunks = (words + chunk - 1) / chunk;
  return {words, chunk, chunks, std::min(team_.size(), chunks)};
}

void Session::poll_now() {
  const auto now = std::chrono::steady_clock::now();
  if (now - last_poll_ < kPollInterval) return;
  last_poll_ = now;
  if (poll_) poll_();
}

void Session::for_each_chunk(const Chunking& plan, const std::function<bool(Worker&, std::size_t)>& body) {
  while (workers_.size() < plan.workers) {
    workers_.push_back(std::make_unique<Worker>());
    if (engine_ != nullptr) workers_.back()->cache = engine_->caches().take();
  }
  workers_[0]->caller = true;
  if (plan.workers == 1) {
    body(*workers_[0], 0);
    return;
  }
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stopped{false};
  team_.run(plan.workers, [&](std::size_t worker) {
    try {
      for (std::size_t c = next.fetch_add(1, std::memory_order_relaxed);
           c < plan.chunks && !stopped.load(std::memory_order_relaxed);
           c = next.fetch_add(1, std::memory_order_relaxed)) {
        if (!body(*workers_[worker], c)) stopped.store(true, std::memory_order_relaxed);
      }
    } catch (...) {
      stopped.store(true, std::memory_order_relaxed);
      throw;
    }
  });
}

namespace {

// The ids of one word, through the worker's cache when it has one; valid
// until the worker encodes again.
template <class Worker>
const IdBuffer& encode_cached(const Model& model, Worker& worker, std::string_view text) {
  IdBuffer& word = worker.word;
  word.truncate(0);
  if (worker.cache && worker.cache->active()) {
    const std::uint64_t hash = word_hash(text);
    const bool hit = worker.cache->find(text, hash, word);
    if (!hit) {
      encode_word(model, text, word);
      worker.cache->insert(text, hash, word);
    }
    worker.cache->record(hit);
  } else {
    encode_word(model, text, word);
  }
  return word;
}

}  // namespace

// The engine's pieces of text go through the worker's cache like words,
// unless the text model's unknown id is not the words' unk_id.
template <class Worker>
class CachedPieces final : public PieceEncoder {
 public:
  CachedPieces(const TextModel& model, Worker& worker) noexcept : model_(model), worker_(worker) {}
  void encode(std::string_view piece, IdBuffer& ids) override {
    if (model_.unknown_id() != model_.model().record.unk_id) {
      bpe::encode(model_.model(), piece, ids, model_.unknown_id());
      return;
    }
    const IdBuffer& found = encode_cached(model_.model(), worker_, piece);
    ids.append(found.data(), found.size());
  }

 private:
  const TextModel& model_;
  Worker& worker_;
};

// Pieces of one text with merges dropped, all drawing from the text's stream.
class DropoutPieces final : public PieceEncoder {
 public:
  DropoutPieces(const TextModel& model, double rate, RandomStream stream) noexcept
      : model_(model), rate_(rate), stream_(stream) {}
  void encode(std::string_view piece, IdBuffer& ids) override {
    encode_word_dropout(model_.model(), piece, rate_, stream_, ids, model_.unknown_id());
  }

 private:
  const TextModel& model_;
  double rate_;
  RandomStream stream_;
};

std::size_t Session::encode(std::span<const WordRef> words, EncodedWords& out, const DropoutSettings& dropout) {
  const Model& model = engine_->model();
  if (dropout.active()) {
    return encode_items(words, out, [&](Worker& worker, std::size_t i, std::string_view text, FlatBuffer<TokenId>& ids) {
      RandomStream stream = dropout.stream(i);
      worker.word.truncate(0);
      encode_word_dropout(model, text, dropout.rate, stream, worker.word, model.record.unk_id);
      ids.append(worker.word.data(), worker.word.size());
    });
  }
  return encode_items(words, out, [&](Worker& worker, std::size_t, std::string_view text, FlatBuffer<TokenId>& ids) {
    const IdBuffer& found = encode_cached(model, worker, text);
    ids.append(found.data(), found.size());
  });
}

std::size_t Session::encode_texts(std::span<const WordRef> texts, const TextModel& model, const TextOptions& options,
                                  EncodedWords& out, FlatBuffer<std::int64_t>* spans, const DropoutSettings& dropout) {
  if (dropout.active()) {
    // The segmenter's memo keeps a word's ids, which would repeat one sample.
    TextOptions unremembered = options;
    unremembered.segmenter_is_pure = false;
    return encode_items(texts, out, [&](Worker& worker, std::size_t i, std::string_view text, FlatBuffer<TokenId>& ids) {
      DropoutPieces pieces(model, dropout.rate, dropout.stream(i));
      encode_text(model, text, unremembered, worker.text, pieces, ids, worker.caller ? spans : nullptr);
    });
  }
  const MemoKey key = memo_key(model, options);
  return encode_items(texts, out, [&](Worker& worker, std::size_t, std::string_view text, FlatBuffer<TokenId>& ids) {
    if (key.segmenter != 0 && !worker.memo_asked) {
      // A memo from an earlier call spares segmenting its words again.
      worker.memo_asked = true;
      if (std::unique_ptr<WordCache> memo = engine_->caches().take_memo(key)) {
        worker.text.memo = std::move(memo);
        worker.text.memo_key = key;
      }
    }
    CachedPieces<Worker> pieces(model, worker);
    encode_text(model, text, options, worker.text, pieces, ids, worker.caller ? spans : nullptr);
  });
}

template <class EncodeOne>
std::size_t Session::encode_items(std::span<const WordRef> words, EncodedWords& out, EncodeOne&& encode_one) {
  const Chunking plan = chunking(words.size());
  std::atomic<std::size_t> failed{kNoWord};
  if (plan.workers == 1) {
    for_each_chunk(plan, [&](Worker& worker, std::size_t) {
      for (std::size_t i = 0; i < words.size(); ++i) {
        if (i % kPollWords == 0) poll_now();
        std::string_view text;
        if (!utf8_of(words[i], worker.scratch, text)) {
          failed = i;
          return false;
        }
        encode_one(worker, i, text, out.ids);
        out.ends.push_back(static_cast<std::int64_t>(out.ids.size()));
      }
      return true;
    });
    return failed;
  }
  if (chunk_ids_.size() < plan.chunks) chunk_ids_.resize(plan.chunks);
  counts_.resize(words.size());
  for_each_chunk(plan, [&](Worker& worker, std::size_t c) {
    // Chunks after a failure need no work: only the first failure counts.
    if (plan.begin(c) > failed.load(std::memory_order_relaxed)) return true;
    FlatBuffer<TokenId>& ids = chunk_ids_[c];
    ids.clear();
    for (std::size_t i = plan.begin(c); i < plan.end(c); ++i) {
      if (worker.caller && i % kPollWords == 0) poll_now();
      std::string_view text;
      if (!utf8_of(words[i], worker.scratch, text)) {
        record_failure(failed, i);
        return true;
      }
      const std::size_t before = ids.size();
      encode_one(worker, i, text, ids);
      counts_[i] = static_cast<std::uint32_t>(ids.size() - before);
    }
    return true;
  });
  if (failed != kNoWord) return failed;
  // One assembly, in word order.
  std::int64_t end = static_cast<std::int64_t>(out.ids.size());
  std::int64_t* ends = out.ends.extend(words.size());
  for (std::size_t c = 0; c < plan.chunks; ++c) {
    out.ids.append(chunk_ids_[c].data(), chunk_ids_[c].size());
    for (std::size_t i = plan.begin(c); i < plan.end(c); ++i) *ends++ = end += counts_[i];
  }
  return kNoWord;
}

void Session::decode(std::span<const TokenId> ids, std::span<const std::int64_t> offsets, DecodedWords& out) {
  const Model& model = engine_->model();
  decode_items(ids, offsets, out, [&](std::span<const TokenId> word, TextBuffer& text) {
    return decode_word(model, word, text);
  });
}

void Session::decode_texts(const TextModel& model, std::span<const TokenId> ids, std::span<const std::int64_t> offsets,
                           DecodedWords& out) {
  decode_items(ids, offsets, out, [&](std::span<const TokenId> word, TextBuffer& text) {
    const std::size_t start = text.size();
    decode_text(model, word, text);
    return bpe::shape_of(std::string_view(text.data() + start, text.size() - start));
  });
}

template <class DecodeOne>
void Session::decode_items(std::span<const TokenId> ids, std::span<const std::int64_t> offsets, DecodedWords& out,
                           DecodeOne&& decode_one) {
  const std::size_t words = offsets.empty() ? 0 : offsets.size() - 1;
  const Chunking plan = chunking(words);
  while (chunk_text_.size() < plan.chunks) chunk_text_.push_back(std::make_unique<TextBuffer>());
  text_ends_.resize(words);
  out.shapes.resize(words);
  out.texts.resize(words);
  const std::int64_t base = words == 0 ? 0 : offsets[0];
  for_each_chunk(plan, [&](Worker& worker, std::size_t c) {
    TextBuffer& text = *chunk_text_[c];
    text.truncate(0);
    for (std::size_t i = plan.begin(c); i < plan.end(c); ++i) {
      if (worker.caller && i % kPollWords == 0) poll_now();
      const auto begin = static_cast<std::size_t>(offsets[i] - base);
      const auto end = static_cast<std::size_t>(offsets[i + 1] - base);
      out.shapes[i] = decode_one(ids.subspan(begin, end - begin), text);
      text_ends_[i] = text.size();
    }
    return true;
  });
  // The chunks' texts no longer grow, so views into them stay valid.
  for (std::size_t c = 0; c < plan.chunks; ++c) {
    const char* text = chunk_text_[c]->data();
    std::size_t start = 0;
    for (std::size_t i = plan.begin(c); i < plan.end(c); ++i) {
      out.texts[i] = std::string_view(text + start, text_ends_[i] - start);
      start = text_ends_[i];
    }
  }
}

std::size_t Session::segment(std::span<const WordRef> words, const text::WordSegmenter& segmenter,
                             std::vector<std::string_view>& out) {
  const Chunking plan = chunking(words.size());
  if (chunk_segmented_.size() < plan.chunks) chunk_segmented_.resize(plan.chunks);
  text_ends_.resize(words.size());
  std::atomic<std::size_t> failed{kNoWord};
  for_each_chunk(plan, [&](Worker& worker, std::size_t c) {
    if (plan.begin(c) > failed.load(std::memory_order_relaxed)) return true;
    std::string& text = chunk_segmented_[c];
    text.clear();
    for (std::size_t i = plan.begin(c); i < plan.end(c); ++i) {
      if (worker.caller && i % kPollWords == 0) poll_now();
      std::string_view word;
      if (!utf8_of(words[i], worker.scratch, word)) {
        record_failure(failed, i);
        return true;
      }
      segmenter.segment(word, text);
      text_ends_[i] = text.size();
    }
    return true;
  });
  if (failed != kNoWord) return failed;
  out.resize(words.size());
  for (std::size_t c = 0; c < plan.chunks; ++c) {
    std::size_t start = 0;
    for (std::size_t i = plan.begin(c); i < plan.end(c); ++i) {
      out[i] = std::string_view(chunk_segmented_[c]).substr(start, text_ends_[i] - start);
      start = text_ends_[i];
    }
  }
  return kNoWord;
}

}  // namespace morfex::engine
