#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace morfex::bpe {

// The words that the encoder, the decoder and the trainer share.
using TokenId = std::uint32_t;
using Rank = std::uint32_t;

// The largest rank means "no pair has a rank" to the encoder.
inline constexpr Rank kNoRank = 0xFFFFFFFFu;
// Joins the two sides of a merge into its key, with no escaping.
inline constexpr char kMergeSeparator = '\t';
inline constexpr std::array<const char*, 4> kSpecialTokens = {"<pad>", "<unk>", "<s>", "</s>"};
// The token a character outside the vocabulary encodes to, and its id when
// the vocabulary has no such token.
inline constexpr std::string_view kUnknownToken = "<unk>";
inline constexpr TokenId kDefaultUnkId = 1;
inline constexpr std::string_view kBoundaryMarker = "\xE2\x96\x81";  // U+2581

// Merges in rank order: the pair at index i has rank i.
using MergeList = std::vector<std::pair<std::string, std::string>>;

}  // namespace morfex::bpe
