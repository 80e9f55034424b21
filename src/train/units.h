#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bpe/vocabulary.h"
#include "train/corpus.h"
#include "train/pair_queue.h"

namespace morfex::train {

// The symbol sequences that training merges: runs of base tokens between
// markers and <unk> characters, each with its count, stored in one flat array.
class Units {
 public:
  // Sequences shorter than two symbols hold no pair and are not kept.
  void add(std::span<const bpe::TokenId> symbols, Count count);

  std::size_t size() const noexcept { return counts_.size(); }
  Count count(std::size_t unit) const noexcept { return counts_[unit]; }
  std::span<const bpe::TokenId> symbols(std::size_t unit) const noexcept {
    return {symbols_.data() + starts_[unit], lengths_[unit]};
  }

  // Replaces each occurrence of (left, right), leftmost first and without
  // overlap, by `merged`. Reports every adjacent pair that goes away to
  // `removed(key)` and every new one to `added(key)`; pairs away from the
  // occurrences stay as they were and are not reported.
  template <class Removed, class Added>
  void merge(std::size_t unit, bpe::TokenId left, bpe::TokenId right, bpe::TokenId merged,
             Removed&& removed, Added&& added);

 private:
  std::vector<bpe::TokenId> symbols_;
  std::vector<std::size_t> starts_;
  std::vector<std::uint32_t> lengths_;
  std::vector<Count> counts_;
  // Per-position marks reused across merges: inside an occurrence / freshly merged.
  std::vector<unsigned char> marks_;
};

template <class Removed, class Added>
void Units::merge(std::size_t unit, bpe::TokenId left, bpe::TokenId right, bpe::TokenId merged,
                  Removed&& removed, Added&& added) {
  bpe::TokenId* s = symbols_.data() + starts_[unit];
  const std::size_t n = lengths_[unit];
  marks_.assign(n, 0);
  bool found = false;
  for (std::size_t i = 0; i + 1 < n;) {
    if (s[i] == left && s[i + 1] == right) {
      marks_[i] = marks_[i + 1] = 1;
      found = true;
      i += 2;
    } else {
      ++i;
    }
  }
  if (!found) return;
  for (std::size_t i = 0; i + 1 < n; ++i) {
    if (marks_[i] | marks_[i + 1]) removed(pair_key(s[i], s[i + 1]));
  }
  // Same leftmost scan as above, so it finds the same occurrences.
  std::size_t w = 0;
  for (std::size_t i = 0; i < n; ++w) {
    if (i + 1 < n && s[i] == left && s[i + 1] == right) {
      s[w] = merged;
      marks_[w] = 1;
      i += 2;
    } else {
      s[w] = s[i];
      marks_[w] = 0;
      ++i;
    }
  }
  for (std::size_t k = 0; k + 1 < w; ++k) {
    if (marks_[k] | marks_[k + 1]) added(pair_key(s[k], s[k + 1]));
  }
  lengths_[unit] = static_cast<std::uint32_t>(w);
}

}  // namespace morfex::train
