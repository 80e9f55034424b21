#pragma once

#include <span>
#include <string>
#include <string_view>

#include "bpe/core_bpe.h"
#include "bpe/spellings.h"

namespace morfex::bpe {

// Appends to `text` the token strings of the ids joined, without special
// and unknown ids and without any boundary marker; returns the shape of
// what it appended.
TextShape decode(const CoreBPE& bpe, std::span<const TokenId> ids, TextBuffer& text);
std::string decode(const CoreBPE& bpe, std::span<const TokenId> ids);

}  // namespace morfex::bpe
