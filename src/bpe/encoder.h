#pragma once

#include <string_view>
#include <vector>

#include "bpe/core_bpe.h"
#include "bpe/merge_index.h"
#include "bpe/small_vector.h"

namespace morfex::bpe {

struct Model;

// Room for a word's ids without allocating.
using IdBuffer = SmallVector<TokenId, 64>;

// Encodes one boundary-annotated surface token: split into characters, merge
// the lowest-ranked adjacent pair (leftmost on ties) until none has a rank,
// then map each symbol, falling back to its characters and to `unk_id`. The
// ids are appended to `ids`.
void encode(const Model& model, std::string_view text, IdBuffer& ids);
// The same with `unknown` in place of unk_id, for a caller that must tell an
// unknown character from a token that holds unk_id too.
void encode(const Model& model, std::string_view text, IdBuffer& ids, TokenId unknown);
std::vector<TokenId> encode(const Model& model, std::string_view text);

// Whether `token`, encoded on its own, is one stretch of a length that the
// encoder looks up whole (four to eight characters) and merges into the
// single symbol `token`. Reads only the index's merge, joinable-byte and
// character tables, so an index can ask it while it is being built.
bool merges_to_itself(const CoreBPE& record, const MergeIndex& index, std::string_view token);

}  // namespace morfex::bpe
