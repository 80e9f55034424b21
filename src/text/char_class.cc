#include "text/char_class.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace morfex::text {
namespace {

#include "text/unicode_classes.inc"

constexpr CharClass searched(std::uint32_t code_point) noexcept {
  // Entries are sorted by their first code point, and the first one is U+0000.
  const auto found = std::upper_bound(std::begin(kRanges), std::end(kRanges), code_point,
                                      [](std::uint32_t cp, std::uint32_t entry) { return cp < entry >> 2; });
  return static_cast<CharClass>(*(found - 1) & 3);
}

constexpr std::array<CharClass, kTabledCodePoints> tabled_classes() {
  std::array<CharClass, kTabledCodePoints> classes{};
  for (std::uint32_t c = 0; c < kTabledCodePoints; ++c) classes[c] = searched(c);
  return classes;
}

}  // namespace

constexpr std::array<CharClass, kTabledCodePoints> kTabledClasses = tabled_classes();

CharClass searched_char_class(std::uint32_t code_point) noexcept { return searched(code_point); }

std::string_view unicode_version() noexcept { return kTableVersion; }

}  // namespace morfex::text
