#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "bpe/vocabulary.h"

namespace morfex::text {

// Cuts a word of running text into morphemes. Called for word pieces
// (letters, marks and markers, without the piece's leading space) from
// several threads at once, so an implementation is const and thread-safe.
class WordSegmenter {
 public:
  virtual ~WordSegmenter() = default;
  // Appends `word` to `out` with U+2581 between its morphemes; the word's
  // own characters stay as they are, in order.
  virtual void segment(std::string_view word, std::string& out) const = 0;
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
