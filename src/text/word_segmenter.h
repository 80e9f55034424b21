#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bpe/vocabulary.h"

namespace morfex::text {

// A number no other call in the process gets, from 1 up: it names a thing
// that answers the same way all its life, so that its answers may be kept
// under that name across calls without holding the thing itself.
std::uint64_t new_serial() noexcept;

// Cuts a word of running text into morphemes. Called for word pieces
// (letters, marks and markers, without the piece's leading space) from
// several threads at once, so an implementation is const and thread-safe.
class WordSegmenter {
 public:
  WordSegmenter() noexcept : serial_(new_serial()) {}
  // A copy or an assignment may answer otherwise later, so it is named anew.
  WordSegmenter(const WordSegmenter&) noexcept : serial_(new_serial()) {}
  WordSegmenter& operator=(const WordSegmenter&) noexcept {
    serial_ = new_serial();
    return *this;
  }
  virtual ~WordSegmenter() = default;
  // Appends `word` to `out` with U+2581 between its morphemes; the word's
  // own characters stay as they are, in order.
  virtual void segment(std::string_view word, std::string& out) const = 0;

  // This segmenter's name among all the process makes (see new_serial).
  std::uint64_t serial() const noexcept { return serial_; }

 private:
  std::uint64_t serial_;
};

inline constexpr std::string_view kMarker = bpe::kBoundaryMarker;

// Calls `part(stretch)` for each non-empty stretch of `word` between the
// markers it already holds: text that comes segmented keeps its boundaries,
// and only what lies between them is segmented.
template <class Part>
void for_each_unmarked(std::string_view word, Part&& part) {
  for (std::size_t start = 0; start <= word.size();) {
    std::size_t end = word.find(kMarker, start);
    if (end == std::string_view::npos) end = word.size();
    if (end > start) part(word.substr(start, end - start));
    start = end + kMarker.size();
  }
}

// Appends `word` segmented stretch by stretch, its own markers kept in place.
inline void segment_between_markers(const WordSegmenter& segmenter, std::string_view word, std::string& out) {
  for (std::size_t start = 0; start <= word.size();) {
    std::size_t end = word.find(kMarker, start);
    if (end == std::string_view::npos) end = word.size();
    segmenter.segment(word.substr(start, end - start), out);
    if (end < word.size()) out.append(kMarker);
    start = end + kMarker.size();
  }
}

}  // namespace morfex::text
