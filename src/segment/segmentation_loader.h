#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "bpe/hash.h"
#include "segment/morph_counts.h"

namespace morfex::segment {

// Builds morph counts from segmented words exactly as Morfessor 2.0's
// BaselineModel.load_segmentations does: each word's analysis is stored as
// a right-branching tree whose inner nodes are shared between words, so a
// later word can re-analyse the suffix of an earlier one, and the counts
// depend on the order of the words.
class SegmentationLoader {
 public:
  // Adds a word (its morphs joined) seen `count` times, split into `morphs`.
  // Throws InputError for a bad count or morph, or once the counts (each
  // times its word's morphs) add up to more than kMaxCount.
  void add(std::int64_t count, std::span<const std::string_view> morphs);

  // The counts of the morphs at the leaves of the trees.
  MorphCounts counts() const;

 private:
  struct Node {
    std::int64_t count;
    std::size_t split;  // bytes of the left part; 0 for a morph
  };
  void modify(const std::string& construction, std::int64_t delta);
  std::int64_t remove(const std::string& construction);

  bpe::StringMap<Node> nodes_;
  std::int64_t words_ = 0;
  std::int64_t total_ = 0;
};

}  // namespace morfex::segment
