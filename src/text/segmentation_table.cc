#include "text/segmentation_table.h"

#include "bpe/utf8.h"
#include "bpe/vocabulary.h"

namespace morfex::text {

void SegmentationTable::segment(std::string_view word, std::string& out) const {
  const auto found = table_.find(word);
  out.append(found != table_.end() ? std::string_view(found->second) : word);
}

bool inserted_markers(std::string_view word, std::string_view segmented, std::vector<std::size_t>& added) {
  added.clear();
  const std::string_view marker = bpe::kBoundaryMarker;
  std::size_t w = 0;
  std::size_t s = 0;
  while (s < segmented.size()) {
    const std::size_t length = bpe::char_length(segmented, s);
    if (w < word.size() && segmented.compare(s, length, word, w, length) == 0 &&
        bpe::char_length(word, w) == length) {
      w += length;
    } else if (segmented.compare(s, length, marker) == 0) {
      added.push_back(s);
    } else {
      return false;
    }
    s += length;
  }
  return w == word.size();
}

}  // namespace morfex::text
