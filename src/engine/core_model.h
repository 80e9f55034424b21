#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "bpe/decoder.h"
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

// Which ids stand for an unknown character and which ones decoding drops,
// where the package names its special tokens otherwise than the core does.
struct SpecialRoles {
  TokenId unk_id;
  std::vector<TokenId> special_ids;
};

inline Model build_model(bpe::TokenToId vocab, bpe::MergeRanks ranks, const std::optional<SpecialRoles>& roles = {}) {
  if (!roles) return Model::from_ranks(std::move(vocab), std::move(ranks));
  bpe::CoreBPE record = bpe::CoreBPE::from_ranks(std::move(vocab), std::move(ranks));
  record.unk_id = roles->unk_id;
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

inline TextShape decode_word(const Model& model, std::span<const TokenId> ids, TextBuffer& text) {
  return bpe::decode(model, ids, text);
}

}  // namespace morfex::engine
