#pragma once

#include <span>
#include <string_view>
#include <utility>

#include "bpe/decoder.h"
#include "bpe/dropout.h"
#include "bpe/encoder.h"
#include "bpe/model.h"

// The engine's only window on the tokenizer core: the model type and the
// per-word calls. Batches are exactly these calls, word after word.
namespace morfex::engine {

using Model = bpe::Model;
using TokenId = bpe::TokenId;
using IdBuffer = bpe::IdBuffer;
using TextBuffer = bpe::TextBuffer;
using TextShape = bpe::TextShape;
using DropoutSettings = bpe::DropoutSettings;
using RandomStream = bpe::RandomStream;

inline Model build_model(bpe::TokenToId vocab, bpe::MergeRanks ranks) {
  return Model::from_ranks(std::move(vocab), std::move(ranks));
}

// The largest id of the vocabulary (0 for an empty one).
inline TokenId largest_id(const Model& model) noexcept {
  TokenId largest = 0;
  for (const auto& [token, id] : model.record.token_to_id) largest = id > largest ? id : largest;
  return largest;
}

inline void encode_word(const Model& model, std::string_view word, IdBuffer& ids) { bpe::encode(model, word, ids); }

// A word with merges dropped at `rate`, drawing from `stream`.
inline void encode_word_dropout(const Model& model, std::string_view word, double rate, RandomStream& stream,
                                IdBuffer& ids, TokenId unknown) {
  bpe::encode_dropout(model, word, rate, stream, ids, unknown);
}

inline TextShape decode_word(const Model& model, std::span<const TokenId> ids, TextBuffer& text) {
  return bpe::decode(model, ids, text);
}

}  // namespace morfex::engine
