#pragma once

#include <span>
#include <string>
#include <string_view>

#include "bpe/core_bpe.h"
#include "bpe/small_vector.h"

namespace morfex::bpe {

// Room for a word's text without allocating.
using TextBuffer = SmallVector<char, 256>;

// Appends to `text` the token strings of the ids joined, without special
// and unknown ids and without any boundary marker.
void decode(const CoreBPE& bpe, std::span<const TokenId> ids, TextBuffer& text);
std::string decode(const CoreBPE& bpe, std::span<const TokenId> ids);

}  // namespace morfex::bpe
