#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace morfex::bpe {

// Seedless string hash for the hot lookup tables: results never depend on hash
// values, so a fixed function is safe and keeps lookups cheap. Transparent, so
// a std::string_view probes a std::string-keyed table without allocating.
struct StringHash {
  using is_transparent = void;

  static std::uint64_t load(const char* p, std::size_t size) noexcept {
    std::uint64_t word = 0;
    std::memcpy(&word, p, size);
    return word;
  }
  static std::uint64_t mix(std::uint64_t h, std::uint64_t word) noexcept {
    h = (h ^ word) * 0x9E3779B97F4A7C15ull;
    return h ^ (h >> 29);
  }

  std::size_t operator()(std::string_view s) const noexcept {
    std::uint64_t h = 0xCBF29CE484222325ull ^ (s.size() * 0x9E3779B97F4A7C15ull);
    const char* p = s.data();
    std::size_t n = s.size();
    // Whole words, then the tail read as overlapping loads: no byte loop on the hot path.
    for (; n > 8; p += 8, n -= 8) h = mix(h, load(p, 8));
    if (n >= 4) {
      h = mix(h, load(p, 4) | (load(p + n - 4, 4) << 32));
    } else if (n > 0) {
      const auto byte = [&](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])); };
      h = mix(h, byte(0) | (byte(n / 2) << 8) | (byte(n - 1) << 16));
    }
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    return static_cast<std::size_t>(h);
  }
};

// Whether n bytes are equal, by whole words and one overlapping last word
// rather than a call: the key tails compared in the tables are short.
inline bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
  if (n < 4) {
    for (std::size_t i = 0; i < n; ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }
  if (n < 8) {
    return ((StringHash::load(a, 4) ^ StringHash::load(b, 4)) |
            (StringHash::load(a + n - 4, 4) ^ StringHash::load(b + n - 4, 4))) == 0;
  }
  std::uint64_t differ = 0;
  for (std::size_t i = 0; i + 8 <= n; i += 8) differ |= StringHash::load(a + i, 8) ^ StringHash::load(b + i, 8);
  differ |= StringHash::load(a + n - 8, 8) ^ StringHash::load(b + n - 8, 8);
  return differ == 0;
}

template <class Value>
using StringMap = std::unordered_map<std::string, Value, StringHash, std::equal_to<>>;

}  // namespace morfex::bpe
