#pragma once

// The encoder's working symbols, shared by the exact merge loop and the one
// with dropout: symbols as byte ranges of the text, the ranking of adjacent
// pairs, and the heap-driven merge loop.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "bpe/core_bpe.h"
#include "bpe/encoder.h"
#include "bpe/merge_index.h"
#include "bpe/small_vector.h"
#include "bpe/utf8.h"

namespace morfex::bpe::symbols {

constexpr std::uint32_t kNoToken = TokenToId::kNoPosition;
static_assert(CharTable::kAbsent == kNoToken);
// A merged symbol whose vocabulary position is looked up only once it exists.
constexpr std::uint32_t kLookUp = kNoToken - 1;

// Symbols always concatenate to the text, so each one is a byte range of it
// and a merge only moves a boundary. `token` is the symbol's position in
// token_to_id, or kNoToken when the vocabulary lacks it.
struct Symbol {
  std::size_t begin;
  std::size_t end;
  std::uint32_t token;
};

// The rank of a pair, and the position of the token it merges into (kLookUp
// when that is still to be found).
struct PairRank {
  Rank rank;
  std::uint32_t merged;
};

// Ranks two adjacent symbols exactly as their joined key (left, TAB, right)
// would be ranked in merge_ranks: two vocabulary tokens through the pair
// table, which holds every such reading of every key, anything else by
// building the key itself, so symbols holding a TAB still match as the key says.
// Also answers, for the text's symbols, what the record and its index say.
class PairRanks {
 public:
  PairRanks(const CoreBPE& record, const MergeIndex& index, std::string_view text) noexcept
      : record_(record), index_(index), text_(text) {}

  PairRank operator()(const Symbol& left, const Symbol& right) {
    if (left.token != kNoToken && right.token != kNoToken) return of_tokens(left.token, right.token);
    return by_key(left, right);
  }

  // The same for two symbols that are vocabulary tokens, by their positions.
  PairRank of_tokens(std::uint32_t left, std::uint32_t right) const noexcept {
    const PairTable::Merge merge = index_.merge_pairs.merge_of(left, right);
    return {merge.rank, merge.merged};
  }

  // Makes `left` the merge of itself and the symbol after it, ending at `end`.
  void merge(Symbol& left, std::size_t end, std::uint32_t merged) const noexcept {
    left.end = end;
    left.token = merged_token(left.begin, end, merged);
  }

  // The token of the merged symbol text[begin, end), given the pair's `merged`.
  std::uint32_t merged_token(std::size_t begin, std::size_t end, std::uint32_t merged) const noexcept {
    return merged != kLookUp ? merged : token_at(begin, end);
  }

  std::uint32_t token_at(std::size_t begin, std::size_t end) const noexcept {
    return record_.token_to_id.position_of(text_.substr(begin, end - begin));
  }

  // The character at `pos` as a symbol of its own.
  Symbol char_symbol(std::size_t pos) const noexcept {
    if (const auto lead = static_cast<unsigned char>(text_[pos]); lead < 0x80) {
      return {pos, pos + 1, index_.char_tokens.get_ascii(lead)};
    }
    const Char c = char_at(text_, pos);
    const std::size_t end = pos + c.length;
    return {pos, end, c.scalar != kNotScalar ? index_.char_tokens.get(c.scalar) : token_at(pos, end)};
  }

  TokenId id_at(std::uint32_t token) const noexcept { return index_.id_at(record_, token); }
  bool merges_whole(std::uint32_t token) const noexcept { return index_.merges_whole[token]; }

 private:
  // Kept out of line: only symbols outside the vocabulary come here.
  [[gnu::noinline]] PairRank by_key(const Symbol& left, const Symbol& right) {
    // The key is one byte longer than the two symbols.
    if (right.end - left.begin >= record_.merge_ranks.longest_key()) return {kNoRank, kNoToken};
    key_.assign(text_.substr(left.begin, left.end - left.begin));
    key_.push_back(kMergeSeparator);
    key_.append(text_.substr(right.begin, right.end - right.begin));
    const Rank* rank = record_.merge_ranks.get(key_);
    return rank != nullptr ? PairRank{*rank, kLookUp} : PairRank{kNoRank, kNoToken};
  }

  const CoreBPE& record_;
  const MergeIndex& index_;
  std::string_view text_;
  std::string key_;
};

// Stretches up to this many characters take the flat path: a rescan of a few
// cached ranks beats a heap on a word, and needs no allocation.
constexpr std::size_t kShortWord = 32;
// A stretch of at most kShortWord characters, merged in place: symbol i
// starts at the first byte of character i and keeps its extent as offsets
// from the stretch (a character has at most four bytes, so they fit a byte).
// A symbol merged into its left neighbour stays where it is, dead.
class ShortStretch {
 public:
  ShortStretch(PairRanks& pair_rank, std::size_t base) noexcept : pair_rank_(pair_rank), base_(base) {}

  std::size_t size() const noexcept { return count_; }

  // Starts a new stretch at `base`.
  void reset(std::size_t base) noexcept {
    base_ = base;
    count_ = 0;
  }
  void add(const Symbol& symbol) noexcept {
    begin_[count_] = static_cast<std::uint8_t>(symbol.begin - base_);
    end_[count_] = static_cast<std::uint8_t>(symbol.end - base_);
    token_[count_] = symbol.token;
    ++count_;
  }

  // Merges by rank, leftmost first on ties, and hands each final symbol to
  // `emit` in order. A stretch of one character never comes here.
  template <class Emit>
  void merge(Emit&& emit) {
    switch (count_) {
      case 2:
        merge_two(0, 1);
        break;
      case 3:
        merge_three();
        break;
      default:
        merge_skipping(emit, [] { return false; });
        return;
    }
    for (std::size_t i = 0; i < count_; i = end_of_[i]) emit(symbol(i));
  }

  // Merges any number of symbols (two or more) as merge() does, except that
  // `skip()` may pass the lowest pair by: the next lowest is tried, and the
  // ones passed by come back after the next merge; passing all by ends it.
  template <class Emit, class Skip>
  void merge_skipping(Emit&& emit, Skip&& skip) {
    // Rank and position in one number: its minimum is the leftmost pair of
    // the lowest rank, found by a scan without branches.
    std::uint64_t order[kShortWord];
    std::uint64_t passed[kShortWord];
    std::size_t passed_count = 0;
    std::uint32_t merged[kShortWord];
    std::uint8_t prev[kShortWord];
    std::uint8_t* const next = end_of_;
    const std::size_t end = count_;
    auto rank_pair = [&](std::size_t left) {
      const PairRank pair = next[left] != end ? rank(left, next[left]) : PairRank{kNoRank, kNoToken};
      order[left] = std::uint64_t{pair.rank} << 32 | left;
      merged[left] = pair.merged;
    };
    for (std::size_t i = 0; i < end; ++i) {
      next[i] = static_cast<std::uint8_t>(i + 1);
      prev[i] = static_cast<std::uint8_t>(i - 1);
    }
    for (std::size_t i = 0; i < end; ++i) rank_pair(i);
    for (;;) {
      std::uint64_t lowest = order[0];
      for (std::size_t i = 1; i < end; ++i) lowest = order[i] < lowest ? order[i] : lowest;
      if (lowest >> 32 == kNoRank) break;
      const std::size_t best = static_cast<std::uint32_t>(lowest);
      if (skip()) {
        passed[passed_count++] = lowest;
        order[best] = ~std::uint64_t{0};
        continue;
      }
      // Pairs passed by that the merge changes are ranked afresh below.
      for (std::size_t k = 0; k < passed_count; ++k) order[static_cast<std::uint32_t>(passed[k])] = passed[k];
      passed_count = 0;
      const std::size_t right = next[best];
      join(best, right, merged[best]);
      order[right] = ~std::uint64_t{0};
      next[best] = next[right];
      if (next[best] != end) prev[next[best]] = static_cast<std::uint8_t>(best);
      rank_pair(best);
      // The first symbol is never merged away, so every other one has a live left neighbour.
      if (best != 0) rank_pair(prev[best]);
    }
    for (std::size_t i = 0; i < end; i = next[i]) emit(symbol(i));
  }

 private:
  Symbol symbol(std::size_t i) const noexcept { return {base_ + begin_[i], base_ + end_[i], token_[i]}; }

  PairRank rank(std::size_t left, std::size_t right) {
    // Symbols are built only for the rare pair that is not two vocabulary tokens.
    if (token_[left] != kNoToken && token_[right] != kNoToken) return pair_rank_.of_tokens(token_[left], token_[right]);
    return pair_rank_(symbol(left), symbol(right));
  }

  // Makes `left` the merge of itself and `right`.
  void join(std::size_t left, std::size_t right, std::uint32_t merged) noexcept {
    end_[left] = end_[right];
    token_[left] = pair_rank_.merged_token(base_ + begin_[left], base_ + end_[left], merged);
  }

  // The two and three character cases take no loop: most morphemes are that short.
  // `end_of_` gives the next live symbol for the final walk.
  void merge_two(std::size_t left, std::size_t right) {
    end_of_[left] = static_cast<std::uint8_t>(right);
    end_of_[right] = static_cast<std::uint8_t>(count_);
    const PairRank pair = rank(left, right);
    if (pair.rank == kNoRank) return;
    join(left, right, pair.merged);
    end_of_[left] = static_cast<std::uint8_t>(count_);
  }

  // Forced inline: three-character stretches are common, and as a member
  // defined in a header it would otherwise stay out of line.
  [[gnu::always_inline]] void merge_three() {
    const PairRank first = rank(0, 1);
    const PairRank second = rank(1, 2);
    end_of_[0] = 1;
    end_of_[1] = 2;
    end_of_[2] = 3;
    if (first.rank == kNoRank && second.rank == kNoRank) return;
    // On equal ranks the left pair merges.
    if (first.rank <= second.rank) {
      join(0, 1, first.merged);
      merge_two(0, 2);
    } else {
      join(1, 2, second.merged);
      merge_two(0, 1);
    }
  }

  PairRanks& pair_rank_;
  std::size_t base_;
  std::size_t count_ = 0;
  std::uint32_t token_[kShortWord];
  std::uint8_t begin_[kShortWord];
  std::uint8_t end_[kShortWord];
  std::uint8_t end_of_[kShortWord];
};

// Symbols as a doubly linked array, one node per character; a node that has
// been merged into its left neighbour is dead.
struct Node {
  Symbol symbol;
  std::size_t prev;
  std::size_t next;
};
constexpr std::size_t kNone = ~std::size_t{0};

// A pair that was adjacent when queued. It is still current exactly when its
// left node still ends at `middle` and that node's neighbour ends at `end`:
// symbols only grow, so those extents never come back once changed.
struct Candidate {
  PairRank rank;
  std::size_t left;
  std::size_t middle;
  std::size_t end;

  // Lowest rank first, then the leftmost pair.
  bool operator>(const Candidate& other) const noexcept {
    return rank.rank != other.rank.rank ? rank.rank > other.rank.rank : left > other.left;
  }
};

// Nodes and candidates kept inline by merge_queued: a word's worth.
constexpr std::size_t kQueuedInline = 32;

// Merges text[begin, end) through a min-heap of candidate pairs with lazy
// invalidation: O(n log n) instead of a rescan after every merge. Before a
// current candidate merges, `skip()` may pass it by; the ones passed by stay
// candidates for the next merge, and when every candidate is passed by,
// merging ends. Hands each final symbol to `emit`, in order.
template <class Emit, class Skip>
void merge_queued(PairRanks& pair_rank, std::size_t begin, std::size_t end, Emit&& emit, Skip&& skip) {
  SmallVector<Node, kQueuedInline> nodes;
  nodes.reserve(end - begin);
  for (std::size_t pos = begin; pos < end;) {
    const std::size_t index = nodes.size();
    nodes.push_back({pair_rank.char_symbol(pos), index == 0 ? kNone : index - 1, index + 1});
    pos = nodes.data()[index].symbol.end;
  }
  nodes.data()[nodes.size() - 1].next = kNone;

  SmallVector<Candidate, kQueuedInline> queue;
  SmallVector<Candidate, kQueuedInline> skipped;
  queue.reserve(nodes.size());
  Node* const node = nodes.data();
  auto push = [&](const Candidate& candidate) {
    queue.push_back(candidate);
    std::push_heap(queue.begin(), queue.end(), std::greater<>{});
  };
  auto offer = [&](std::size_t left) {
    const Symbol& symbol = node[left].symbol;
    const Symbol& next = node[node[left].next].symbol;
    if (const PairRank rank = pair_rank(symbol, next); rank.rank != kNoRank) push({rank, left, symbol.end, next.end});
  };
  for (std::size_t i = 0; i + 1 < nodes.size(); ++i) offer(i);

  while (queue.size() != 0) {
    std::pop_heap(queue.begin(), queue.end(), std::greater<>{});
    const Candidate top = queue.data()[queue.size() - 1];
    queue.truncate(queue.size() - 1);
    Node& left = node[top.left];
    if (left.symbol.end != top.middle || left.next == kNone || node[left.next].symbol.end != top.end) continue;
    if (skip()) {
      skipped.push_back(top);
      continue;
    }
    Node& right = node[left.next];
    pair_rank.merge(left.symbol, right.symbol.end, top.rank.merged);
    left.next = right.next;
    right.symbol.end = kNone;
    for (const Candidate& passed : skipped) push(passed);
    skipped.truncate(0);
    if (left.next != kNone) {
      node[left.next].prev = top.left;
      offer(top.left);
    }
    if (left.prev != kNone) offer(left.prev);
  }

  for (std::size_t i = 0; i != kNone; i = node[i].next) emit(node[i].symbol);
}

// Appends the ids of the characters of a final symbol that the vocabulary
// lacks, with `unknown` for the characters it lacks too.
[[gnu::noinline]] inline void emit_char_ids(const PairRanks& pair_rank, const Symbol& symbol, TokenId unknown,
                                            IdBuffer& ids) {
  for (std::size_t pos = symbol.begin; pos < symbol.end;) {
    const Symbol ch = pair_rank.char_symbol(pos);
    ids.push_back(ch.token != kNoToken ? pair_rank.id_at(ch.token) : unknown);
    pos = ch.end;
  }
}


}  // namespace morfex::bpe::symbols
