#pragma once

#include <cstddef>
#include <array>
#include <cstdint>
#include <vector>

namespace morfex::bpe {

// Map from Unicode scalar values to 32-bit values, for the one-character
// tokens that every encode call looks up once per character: one load for
// ASCII, two otherwise, instead of hashing. Pages of 256 values are allocated
// only where some value is set, so a model of a few scripts costs a few
// kilobytes.
class CharTable {
 public:
  static constexpr std::uint32_t kAbsent = UINT32_MAX;

  void set(std::uint32_t scalar, std::uint32_t value) {
    if (scalar < kAscii) ascii_[scalar] = value;
    if (page_of_.empty()) {
      page_of_.assign(kPages, 0);
      values_.assign(kPageSize, kAbsent);  // page 0: the shared empty page
    }
    std::uint16_t& page = page_of_[scalar / kPageSize];
    if (page == 0) {
      page = static_cast<std::uint16_t>(values_.size() / kPageSize);
      values_.resize(values_.size() + kPageSize, kAbsent);
    }
    values_[page * kPageSize + scalar % kPageSize] = value;
  }

  // `scalar` is below 0x80: one load, from the table itself.
  std::uint32_t get_ascii(std::uint32_t scalar) const noexcept { return ascii_[scalar]; }

  // `scalar` is at most 0x10FFFF.
  std::uint32_t get(std::uint32_t scalar) const noexcept {
    if (page_of_.empty()) return kAbsent;
    return values_[page_of_[scalar / kPageSize] * std::size_t{kPageSize} + scalar % kPageSize];
  }

 private:
  static constexpr std::uint32_t kAscii = 0x80;
  static constexpr std::uint32_t kPageSize = 256;
  static constexpr std::size_t kPages = 0x110000 / kPageSize;

  static constexpr std::array<std::uint32_t, kAscii> filled(std::uint32_t value) noexcept {
    std::array<std::uint32_t, kAscii> values{};
    values.fill(value);
    return values;
  }

  std::array<std::uint32_t, kAscii> ascii_ = filled(kAbsent);

  std::vector<std::uint16_t> page_of_;
  std::vector<std::uint32_t> values_;
};

}  // namespace morfex::bpe
