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
// markers and <unk> characters, each with its count. All symbols sit in one
// flat array linked both ways within their unit, so a merge touches only the
// occurrence it replaces: a long unit costs no more per merge than a short one.
class Units {
 public:
  // Index of a symbol in the flat array; a pair is named by its left symbol's.
  using Position = std::uint32_t;
  static constexpr Position kNone = 0xFFFFFFFFu;

  // Sequences shorter than two symbols hold no pair and are not kept. Throws
  // std::length_error past 4294967294 symbols in all.
  void add(std::span<const bpe::TokenId> symbols, Count count);

  std::size_t size() const noexcept { return counts_.size(); }
  Count count(std::size_t unit) const noexcept { return counts_[unit]; }
  Count count_at(Position at) const noexcept { return counts_[unit_of_[at]]; }
  // The unit's current symbols, in order.
  std::vector<bpe::TokenId> symbols(std::size_t unit) const;

  // Calls visit(key, position, count) for every adjacent pair, in array order.
  template <class Visit>
  void for_each_pair(Visit&& visit) const;

  // If (left, right) starts at `at`, replaces it by `merged` and returns true,
  // reporting the pairs that go away to `removed(key)` and the new ones to
  // `added(key, position)`. Called on the candidate positions of one pair in
  // increasing order, it merges leftmost first and without overlap.
  template <class Removed, class Added>
  bool merge_at(Position at, bpe::TokenId left, bpe::TokenId right, bpe::TokenId merged,
                Removed&& removed, Added&& added);

 private:
  // Marks the right half of a merged pair, which no pair starts or ends at.
  static constexpr bpe::TokenId kGone = 0xFFFFFFFFu;

  std::vector<bpe::TokenId> symbols_;
  std::vector<Position> next_;
  std::vector<Position> prev_;
  std::vector<std::uint32_t> unit_of_;
  std::vector<Position> starts_;
  std::vector<Count> counts_;
};

template <class Visit>
void Units::for_each_pair(Visit&& visit) const {
  for (Position at = 0; at < symbols_.size(); ++at) {
    const Position right = next_[at];
    if (symbols_[at] != kGone && right != kNone) {
      visit(pair_key(symbols_[at], symbols_[right]), at, count_at(at));
    }
  }
}

template <class Removed, class Added>
bool Units::merge_at(Position at, bpe::TokenId left, bpe::TokenId right, bpe::TokenId merged,
                     Removed&& removed, Added&& added) {
  const Position second = next_[at];
  if (symbols_[at] != left || second == kNone || symbols_[second] != right) return false;
  const Position before = prev_[at];
  const Position after = next_[second];
  if (before != kNone) removed(pair_key(symbols_[before], left));
  removed(pair_key(left, right));
  if (after != kNone) removed(pair_key(right, symbols_[after]));
  symbols_[at] = merged;
  symbols_[second] = kGone;
  next_[at] = after;
  if (after != kNone) prev_[after] = at;
  if (before != kNone) added(pair_key(symbols_[before], merged), before);
  if (after != kNone) added(pair_key(merged, symbols_[after]), at);
  return true;
}

}  // namespace morfex::train
