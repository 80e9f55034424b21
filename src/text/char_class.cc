#include "text/char_class.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace morfex::text {
namespace {

#include "text/unicode_classes.inc"

constexpr std::array<CharClass, 128> ascii_classes() {
  std::array<CharClass, 128> classes{};
  for (std::uint32_t c = 0; c < 128; ++c) {
    const auto found = std::upper_bound(std::begin(kRanges), std::end(kRanges), c,
                                        [](std::uint32_t cp, std::uint32_t entry) { return cp < entry >> 2; });
    classes[c] = static_cast<CharClass>(*(found - 1) & 3);
  }
  return classes;
}

constexpr std::array<CharClass, 128> kAscii = ascii_classes();

}  // namespace

CharClass char_class(std::uint32_t code_point) noexcept {
  if (code_point < 128) return kAscii[code_point];
  // Entries are sorted by their first code point, and the first one is U+0000.
  const auto found = std::upper_bound(std::begin(kRanges), std::end(kRanges), code_point,
                                      [](std::uint32_t cp, std::uint32_t entry) { return cp < entry >> 2; });
  return static_cast<CharClass>(*(found - 1) & 3);
}

std::string_view unicode_version() noexcept { return kTableVersion; }

}  // namespace morfex::text
