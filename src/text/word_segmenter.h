#pragma once

#include <string>
#include <string_view>

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

}  // namespace morfex::text
