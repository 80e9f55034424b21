#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "segment/key_table.h"
#include "segment/morph_counts.h"
#include "text/word_segmenter.h"

namespace morfex::segment {

// The longest morph Viterbi considers, in code points (Morfessor's maxlen).
inline constexpr std::size_t kMaxMorphLength = 30;

// A Morfessor Baseline model for segmenting: immutable once built, so any
// number of threads may segment with it at once, the text path's among them.
class Model final : public text::WordSegmenter {
 public:
  // Throws InputError unless check_counts accepts the counts.
  explicit Model(MorphCounts counts);

  // Appends `word_utf8` split into morphs, U+2581 between them, exactly as
  // Morfessor 2.0.6's viterbi_segment(word) splits it (addcount 1, maxlen
  // 30): the same costs by the same float operations in the same order,
  // and on a tie the split whose last morph starts first. An empty word
  // appends nothing. A byte that is not part of valid UTF-8 is a character
  // that no morph holds; the word's bytes are kept as they are.
  void segment(std::string_view word_utf8, std::string& out) const override;

  const MorphCounts& counts() const noexcept { return counts_; }
  bool operator==(const Model& other) const { return counts_ == other.counts_; }

 private:
  struct Scratch;
  double new_morph_cost(const Scratch& scratch, std::size_t start, std::size_t end) const noexcept;

  MorphCounts counts_;
  // A trie of the morphs over code points: node 0 is the root, and an edge
  // is keyed by its parent node times 2^22 plus the code point.
  KeyTable<std::uint32_t> edges_;
  std::vector<double> morph_cost_;  // per node: the cost of its morph, or NaN
  KeyTable<double> atom_log_counts_;  // log of each code point's count in the lexicon
  double log_tokens_ = 0;
  double lexicon_term_ = 0;
  double codelength_start_[kMaxMorphLength + 2] = {};
};

}  // namespace morfex::segment
