#pragma once

#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// Which token an unknown character encodes as (none: the core's fallback id)
// and which ids decoding drops, where the package names its special tokens
// otherwise than the core does.
struct SpecialRoles {
  std::optional<std::string> unk_token;
  std::vector<TokenId> special_ids;
};

inline Model build_model(bpe::TokenToId vocab, bpe::MergeRanks ranks, const std::optional<SpecialRoles>& roles = {}) {
  if (!roles) return Model::from_ranks(std::move(vocab), std::move(ranks));
  bpe::CoreBPE record = bpe::CoreBPE::from_ranks(std::move(vocab), std::move(ranks));
  record.unk_id = bpe::kDefaultUnkId;
  if (roles->unk_token) {
    const TokenId* unk = record.token_to_id.get(*roles->unk_token);
    if (unk == nullptr) throw std::invalid_argument("the unknown token is not in the vocabulary");
    record.unk_id = *unk;
  }
  record.special_ids = bpe::SpecialIds{};
  for (const TokenId id : roles->special_ids) record.special_ids.insert(id);
  bpe::MergeIndex index(record);
  bpe::Decoder decoder(record);
  return Model{std::move(record), std::move(index), std::move(decoder)};
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
