#pragma once

// Conveniences for building the core's tables in tests, which the product
// fills only through DeferredInserts.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bpe/core_bpe.h"
#include "bpe/model.h"

namespace morfex::bpe::testing_support {

using VocabList = std::vector<std::pair<std::string, TokenId>>;

// A later entry of a repeated token gives it its id, as in a Python dict.
inline TokenToId vocab_of(const VocabList& entries) {
  TokenToId vocab;
  for (const auto& [token, id] : entries) vocab.insert_or_assign(token, id, TokenToId::hash_of(token));
  return vocab;
}

inline Model model_of(const VocabList& vocab, MergeList merges = {}) {
  return Model::build(vocab_of(vocab), std::move(merges));
}

inline CoreBPE record_of(const VocabList& vocab, MergeList merges = {}) {
  return CoreBPE::build(vocab_of(vocab), std::move(merges));
}

}  // namespace morfex::bpe::testing_support
