#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "bpe/vocabulary.h"

// The bounds that morfex._engine checks, exported as its module constants so
// that the Python side reads them instead of writing them again.
namespace morfex::py {

inline constexpr std::uint64_t kMaxId = std::numeric_limits<bpe::TokenId>::max();
inline constexpr std::size_t kMaxThreads = 1024;
// Words per worker cache; larger sizes are refused as a likely mistake.
inline constexpr std::size_t kMaxCacheSize = std::size_t{1} << 26;
// Dropout seeds are any unsigned 64-bit number.
inline constexpr std::uint64_t kMaxSeed = std::numeric_limits<std::uint64_t>::max();

}  // namespace morfex::py
