#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace morfex::segment {

// Counts above this (and totals above it) are refused: every count then
// converts to a double exactly, as Morfessor's Python ints do.
inline constexpr std::int64_t kMaxCount = (std::int64_t{1} << 53) - 1;

// A bad segmentation, count or morph; `line` is the 1-based line of a file
// it was found on, or 0.
class InputError : public std::runtime_error {
 public:
  explicit InputError(const std::string& message, std::size_t line = 0)
      : std::runtime_error(message), line_(line) {}
  std::size_t line() const noexcept { return line_; }

 private:
  std::size_t line_;
};

// What a Morfessor Baseline model segments with: each morph's count, the
// number of words (with repeats) those morphs were counted over, and the
// weight of the corpus against the lexicon it was trained with.
struct MorphCounts {
  std::vector<std::pair<std::string, std::int64_t>> morphs;  // sorted by morph, each once
  std::int64_t words = 0;
  double corpus_weight = 1.0;

  bool operator==(const MorphCounts&) const = default;
};

// Whether the code point is whitespace as Python's str.isspace() sees it.
bool is_space(std::uint32_t code_point) noexcept;

// What is wrong with `morph` as a morph (empty, holds whitespace or the
// morpheme marker, or is not UTF-8), or null when it is fine.
const char* morph_problem(std::string_view morph) noexcept;

// Checks the counts of a model read back from its counts (sorted, each
// morph once and fine, counts and their total in range) and throws
// InputError naming the first fault.
void check_counts(const MorphCounts& counts);

}  // namespace morfex::segment
