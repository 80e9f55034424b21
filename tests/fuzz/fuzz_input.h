#pragma once

// What every libFuzzer harness here shares: the input read as a recipe, byte
// by byte (zeros once it runs out), and the stop on a broken invariant.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

namespace morfex::fuzz {

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool done() const { return pos_ >= size_; }

  // `length` pieces of `alphabet`, one chosen by each byte.
  std::string pieces(std::span<const std::string_view> alphabet, std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += alphabet[next() % alphabet.size()];
    return text;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// Stops the run: libFuzzer keeps the input that got here.
[[noreturn]] inline void broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

}  // namespace morfex::fuzz
