#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "text/word_segmenter.h"

namespace morfex::text {

// Segmentations worked out beforehand (by a caller that cannot run on the
// workers), looked up by word; a word it lacks is kept whole.
class SegmentationTable final : public WordSegmenter {
 public:
  bool contains(std::string_view word) const { return table_.find(word) != table_.end(); }
  void add(std::string_view word, std::string segmented) { table_.emplace(word, std::move(segmented)); }
  void clear() noexcept { table_.clear(); }
  std::size_t size() const noexcept { return table_.size(); }

  void segment(std::string_view word, std::string& out) const override;

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
  };
  std::unordered_map<std::string, std::string, Hash, std::equal_to<>> table_;
};

// Whether `segmented` is `word` with nothing but U+2581 put in; if so, the
// byte offsets in `segmented` of the markers put in (matched greedily: a
// marker of the word itself matches the first marker at its place).
bool inserted_markers(std::string_view word, std::string_view segmented, std::vector<std::size_t>& added);

}  // namespace morfex::text
