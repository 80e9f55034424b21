#pragma once

#include <string_view>
#include <vector>

#include "bpe/core_bpe.h"

namespace morfex::bpe {

// Encodes one boundary-annotated surface token: split into characters, merge
// the lowest-ranked adjacent pair (leftmost on ties) until none has a rank,
// then map each symbol, falling back to its characters and to `unk_id`.
std::vector<TokenId> encode(const CoreBPE& bpe, std::string_view text);

}  // namespace morfex::bpe
