#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "bpe/hash.h"

namespace morfex::train {

using Count = std::uint64_t;

// Morphemes (the text between boundary markers) with their summed counts.
// Training never looks across a marker, so morphemes are its unit of work.
using MorphemeCounts = bpe::StringMap<Count>;

inline constexpr Count kMaxLineCount = 0xFFFFFFFFu;

// A malformed corpus line; the message starts with "line N: ".
class CorpusError : public std::runtime_error {
 public:
  CorpusError(std::size_t line, const std::string& what);
  std::size_t line() const noexcept { return line_; }

 private:
  std::size_t line_;
};

// Adds the morphemes of one segmented word, `count` times each.
void add_morphemes(MorphemeCounts& counts, std::string_view word, Count count);

// Reads one segmented word per line, optionally followed by a TAB and a count
// from 1 to kMaxLineCount (1 when absent). Empty lines are skipped and a
// trailing CR is dropped; everything else belongs to the word.
MorphemeCounts count_morphemes(std::string_view corpus);

}  // namespace morfex::train
