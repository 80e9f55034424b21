#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "bpe/encoder.h"

namespace morfex::bpe {

struct Model;

// splitmix64's output function: a bijection of 64-bit words that spreads
// every input bit over the whole output.
constexpr std::uint64_t mix(std::uint64_t z) noexcept {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

// splitmix64: a counter stepped by the golden-ratio constant and mixed, so a
// stream is one word of state and any seed is a good one.
class RandomStream {
 public:
  explicit constexpr RandomStream(std::uint64_t seed) noexcept : state_(seed) {}

  constexpr std::uint64_t next() noexcept {
    state_ += 0x9E3779B97F4A7C15u;
    return mix(state_);
  }
  // Uniform in [0, 1): the top 53 bits, every value a double holds exactly.
  constexpr double uniform() noexcept { return static_cast<double>(next() >> 11) * 0x1p-53; }

 private:
  std::uint64_t state_;
};

// Dropout for a block of sequences. Sequence i of the block draws from its
// own stream, seeded by its index in the whole batch, so the result does not
// depend on how the batch is cut into blocks or spread over threads.
struct DropoutSettings {
  double rate = 0.0;         // from 0 to 1; 0 is exact encoding
  std::uint64_t seed = 0;
  std::size_t first = 0;     // index in the batch of the block's first sequence

  bool active() const noexcept { return rate > 0.0; }
  RandomStream stream(std::size_t i) const noexcept { return RandomStream(seed ^ mix(first + i + 1)); }
};

// Encodes like encode(), except that each merge may be dropped: at every
// step the current pairs that have a rank are tried from the lowest rank
// (leftmost on ties), each dropped when a draw from `stream` is below
// `rate`, and the first one kept merges; dropped pairs stay candidates for
// the next step, and the word is done when every pair is dropped. A rate of
// 0 gives encode()'s result, a rate of 1 the characters alone. The ids are
// appended to `ids`, with `unknown` for characters the vocabulary lacks.
void encode_dropout(const Model& model, std::string_view text, double rate, RandomStream& stream, IdBuffer& ids,
                    TokenId unknown);

}  // namespace morfex::bpe
