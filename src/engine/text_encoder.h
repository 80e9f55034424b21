#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core_model.h"
#include "engine/flat_buffer.h"
#include "engine/word_cache.h"
#include "text/byte_tokens.h"
#include "text/pieces.h"
#include "text/word_segmenter.h"

namespace morfex::engine {

// What running text needs beside the model: the byte tokens of a model with
// byte fallback, and each id's token string, to tell which characters each
// id stands for.
class TextModel {
 public:
  // `unknown_token` is the token of unk_id, if any ("<unk>" by the core's rule).
  TextModel(const Model& model, const std::optional<std::array<TokenId, 256>>& byte_ids,
            const std::optional<std::string_view>& unknown_token = "<unk>");

  const Model& model() const noexcept { return model_; }
  const text::ByteTokens* bytes() const noexcept { return bytes_ ? &*bytes_ : nullptr; }
  // The token string of `id` (the last in the vocabulary's order when ids are
  // shared), empty when no token has it.
  std::string_view token(TokenId id) const noexcept;
  // The id that pieces are encoded with for a character the vocabulary
  // lacks: unk_id, unless a token other than the unknown token holds it; then an id
  // that no token has, so that the two cannot be taken for each other.
  TokenId unknown_id() const noexcept { return unknown_id_; }
  // This text model's name among all the process makes (see text::new_serial).
  std::uint64_t serial() const noexcept { return serial_; }

 private:
  struct Spelling {
    TokenId id;
    std::uint32_t offset;
    std::uint32_t length;
  };
  const Model& model_;
  std::optional<text::ByteTokens> bytes_;
  std::string arena_;
  std::vector<Spelling> spellings_;  // sorted by id
  TokenId unknown_id_;
  std::uint64_t serial_ = text::new_serial();
};

struct TextOptions {
  const text::WordSegmenter* segmenter = nullptr;
  bool markers = true;  // false: the ids of lone markers are left out
  // Whether the segmenter answers a word the same way every time, so that a
  // worker may remember its words' ids for the rest of the call.
  bool segmenter_is_pure = false;
};

// Encodes one piece exactly as the per-word encoder does, with the text
// model's unknown_id for unknown characters (a worker's cache may answer).
class PieceEncoder {
 public:
  virtual void encode(std::string_view piece, IdBuffer& ids) = 0;

 protected:
  ~PieceEncoder() = default;
};

// A worker's buffers for text, reused from text to text within one call,
// and the ids of the words it has segmented, made for memo_key: the engine
// keeps them from call to call (CachePool::take_memo).
struct TextScratch {
  std::vector<text::Piece> pieces;
  std::string segmented;
  std::vector<std::size_t> added;
  IdBuffer ids;
  std::unique_ptr<WordCache> memo;
  MemoKey memo_key;
  std::size_t segmented_words = 0;
};

// A memo starts once a call has segmented this many words, at kMemoWords,
// and grows to kMaxMemoWords: more than the distinct words of most corpora.
inline constexpr std::size_t kMemoAfterWords = 512;
inline constexpr std::size_t kMemoWords = 16384;
inline constexpr std::size_t kMaxMemoWords = std::size_t{1} << 16;

// What a memo for these options is made for; its segmenter is 0 when the
// words' ids are not remembered (no segmenter, or one that may answer anew).
MemoKey memo_key(const TextModel& model, const TextOptions& options) noexcept;

// Appends the ids of running text: each piece encoded on its own, word
// pieces through the segmenter first; with byte fallback, a character the
// vocabulary lacks as the ids of its UTF-8 bytes. With `spans`, appends two
// character offsets into the text per id: the characters it stands for
// (empty at the place of a marker that segmentation put in).
void encode_text(const TextModel& model, std::string_view text, const TextOptions& options, TextScratch& scratch,
                 PieceEncoder& pieces, FlatBuffer<TokenId>& ids, FlatBuffer<std::int64_t>* spans);

// Appends the text of the ids: tokens joined without special tokens, unknown
// ids and markers; with byte fallback, each run of byte tokens as UTF-8 with
// U+FFFD for what is not UTF-8.
void decode_text(const TextModel& model, std::span<const TokenId> ids, TextBuffer& text);

}  // namespace morfex::engine
