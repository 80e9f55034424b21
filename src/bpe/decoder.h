#pragma once

#include <span>
#include <string>
#include <string_view>

#include "bpe/core_bpe.h"
#include "bpe/small_vector.h"

namespace morfex::bpe {

inline constexpr std::string_view kBoundaryMarker = "\xE2\x96\x81";  // U+2581

// Room for a word's text without allocating.
using TextBuffer = SmallVector<char, 256>;

// Joins the token strings of the ids, dropping special and unknown ids, and
// removes every boundary marker from the joined text, which is appended to
// `text`.
void decode(const CoreBPE& bpe, std::span<const TokenId> ids, TextBuffer& text);
std::string decode(const CoreBPE& bpe, std::span<const TokenId> ids);

}  // namespace morfex::bpe
