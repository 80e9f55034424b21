#include "bpe/encoder.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <queue>
#include <string>

#include "bpe/utf8.h"

namespace morfex::bpe {
namespace {

constexpr std::uint32_t kNoToken = TokenToId::kNoPosition;
static_assert(CharTable::kAbsent == kNoToken);
// A merged symbol whose vocabulary position is looked up only once it exists.
constexpr std::uint32_t kLookUp = kNoToken - 1;
// The token of a sentinel symbol, which pairs with nothing; no vocabulary
// position is this large.
constexpr std::uint32_t kSentinel = kNoToken - 2;

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

// Stretches up to this many characters take the flat path: a rescan of a few
// cached ranks beats a heap on a word, and needs no allocation.
constexpr std::size_t kShortWord = 32;

// Ranks two adjacent symbols exactly as their joined key (left, TAB, right)
// would be ranked in merge_ranks: two vocabulary tokens through the pair
// table, which holds every such reading of every key, anything else by
// building the key itself, so symbols holding a TAB still match as the key says.
class PairRanks {
 public:
  PairRanks(const CoreBPE& bpe, std::string_view text) noexcept : bpe_(bpe), text_(text) {}

  PairRank operator()(const Symbol& left, const Symbol& right) {
    if (left.token != kNoToken && right.token != kNoToken) {
      const PairTable::Merge merge = bpe_.merge_pairs.merge_of(left.token, right.token);
      return {merge.rank, merge.merged};
    }
    return by_key(left, right);
  }

  void prefetch(const Symbol& left, const Symbol& right) const noexcept {
    bpe_.merge_pairs.prefetch(left.token, right.token);
  }

  // Makes `left` the merge of itself and the symbol after it, ending at `end`.
  void merge(Symbol& left, std::size_t end, std::uint32_t merged) const noexcept {
    left.end = end;
    left.token = merged != kLookUp ? merged : token_at(left.begin, end);
  }

  std::uint32_t token_at(std::size_t begin, std::size_t end) const noexcept {
    return bpe_.token_to_id.position_of(text_.substr(begin, end - begin));
  }

  unsigned char first_byte(const Symbol& symbol) const noexcept {
    return static_cast<unsigned char>(text_[symbol.begin]);
  }
  unsigned char last_byte(const Symbol& symbol) const noexcept {
    return static_cast<unsigned char>(text_[symbol.end - 1]);
  }

  static constexpr Symbol sentinel() noexcept { return {0, 0, kSentinel}; }

  // The character at `pos` as a symbol of its own.
  Symbol char_symbol(std::size_t pos) const noexcept {
    const Char c = char_at(text_, pos);
    const std::size_t end = pos + c.length;
    return {pos, end, c.scalar != kNotScalar ? bpe_.char_tokens.get(c.scalar) : token_at(pos, end)};
  }

 private:
  // Kept out of line: only symbols outside the vocabulary come here.
  [[gnu::noinline]] PairRank by_key(const Symbol& left, const Symbol& right) {
    if (right.token == kSentinel) return {kNoRank, kNoToken};
    // The key is one byte longer than the two symbols.
    if (right.end - left.begin >= bpe_.merge_ranks.longest_key()) return {kNoRank, kNoToken};
    key_.assign(text_.substr(left.begin, left.end - left.begin));
    key_.push_back(kMergeSeparator);
    key_.append(text_.substr(right.begin, right.end - right.begin));
    const Rank* rank = bpe_.merge_ranks.get(key_);
    return rank != nullptr ? PairRank{*rank, kLookUp} : PairRank{kNoRank, kNoToken};
  }

  const CoreBPE& bpe_;
  std::string_view text_;
  std::string key_;
};

// Keeps the rank of every adjacent pair; after a merge only the two pairs
// around the merged symbol are ranked again. A symbol merged into its left
// neighbour stays in place, dead (no rank, unlinked), so nothing moves during
// merging. Returns the number of final symbols, left at the front of `symbols`.
std::size_t merge_short(PairRanks& pair_rank, Symbol* symbols, std::size_t count) {
  // Most morphemes are a few characters long; these need no loop.
  if (count < 2) return count;
  if (count == 2) {
    const PairRank pair = pair_rank(symbols[0], symbols[1]);
    if (pair.rank == kNoRank) return 2;
    pair_rank.merge(symbols[0], symbols[1].end, pair.merged);
    return 1;
  }
  if (count == 3) {
    const PairRank first = pair_rank(symbols[0], symbols[1]);
    const PairRank second = pair_rank(symbols[1], symbols[2]);
    if (first.rank == kNoRank && second.rank == kNoRank) return 3;
    // On equal ranks the left pair merges.
    if (first.rank <= second.rank) {
      pair_rank.merge(symbols[0], symbols[1].end, first.merged);
      symbols[1] = symbols[2];
    } else {
      pair_rank.merge(symbols[1], symbols[2].end, second.merged);
    }
    return merge_short(pair_rank, symbols, 2);
  }
  // Rank and position in one number: its minimum is the leftmost pair of the
  // lowest rank, found by a scan without branches.
  std::uint64_t order[kShortWord + 1];
  std::uint32_t merged[kShortWord + 1];
  // Links; both ends lead to a sentinel after the last symbol that pairs
  // with nothing, so a merge at either end takes no branch of its own. The
  // caller's symbol after the stretch is set aside meanwhile.
  const std::size_t end = count;
  std::uint8_t next[kShortWord + 1];
  std::uint8_t prev[kShortWord + 1];
  const Symbol after = symbols[end];
  symbols[end] = PairRanks::sentinel();
  auto rank_pair = [&](std::size_t left) {
    const PairRank pair = pair_rank(symbols[left], symbols[next[left]]);
    order[left] = std::uint64_t{pair.rank} << 32 | left;
    merged[left] = pair.merged;
  };
  for (std::size_t i = 0; i < count; ++i) {
    next[i] = static_cast<std::uint8_t>(i + 1);
    prev[i] = static_cast<std::uint8_t>(i - 1);
    pair_rank.prefetch(symbols[i], symbols[i + 1]);
  }
  prev[0] = static_cast<std::uint8_t>(end);
  next[end] = static_cast<std::uint8_t>(end);
  for (std::size_t i = 0; i < count; ++i) rank_pair(i);
  for (;;) {
    std::uint64_t lowest = order[0];
    for (std::size_t i = 1; i < count; ++i) lowest = order[i] < lowest ? order[i] : lowest;
    if (lowest >> 32 == kNoRank) break;
    const std::size_t best = static_cast<std::uint32_t>(lowest);
    const std::size_t right = next[best];
    pair_rank.merge(symbols[best], symbols[right].end, merged[best]);
    order[right] = ~std::uint64_t{0};
    next[best] = next[right];
    prev[next[best]] = static_cast<std::uint8_t>(best);
    rank_pair(best);
    rank_pair(prev[best]);
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i != end; i = next[i]) symbols[kept++] = symbols[i];
  symbols[end] = after;
  return kept;
}

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

// A min-heap of candidate pairs with lazy invalidation, for a stretch of more
// than kShortWord characters: O(n log n) instead of a rescan after every merge.
void merge_long(PairRanks& pair_rank, std::size_t begin, std::size_t end,
                std::vector<Symbol>& symbols) {
  std::vector<Node> nodes;
  nodes.reserve(end - begin);
  for (std::size_t pos = begin; pos < end;) {
    const std::size_t index = nodes.size();
    nodes.push_back({pair_rank.char_symbol(pos), index == 0 ? kNone : index - 1, index + 1});
    pos = nodes.back().symbol.end;
  }
  nodes.back().next = kNone;

  std::vector<Candidate> storage;
  storage.reserve(nodes.size());
  std::priority_queue<Candidate, std::vector<Candidate>, std::greater<>> queue(std::greater<>{}, std::move(storage));
  auto offer = [&](std::size_t left) {
    const Symbol& symbol = nodes[left].symbol;
    const Symbol& next = nodes[nodes[left].next].symbol;
    if (const PairRank rank = pair_rank(symbol, next); rank.rank != kNoRank) {
      queue.push({rank, left, symbol.end, next.end});
    }
  };
  for (std::size_t i = 0; i + 1 < nodes.size(); ++i) offer(i);

  while (!queue.empty()) {
    const Candidate top = queue.top();
    queue.pop();
    Node& left = nodes[top.left];
    if (left.symbol.end != top.middle || left.next == kNone || nodes[left.next].symbol.end != top.end) continue;
    Node& right = nodes[left.next];
    pair_rank.merge(left.symbol, right.symbol.end, top.rank.merged);
    left.next = right.next;
    right.symbol.end = kNone;
    if (left.next != kNone) {
      nodes[left.next].prev = top.left;
      offer(top.left);
    }
    if (left.prev != kNone) offer(left.prev);
  }

  for (std::size_t i = 0; i != kNone; i = nodes[i].next) symbols.push_back(nodes[i].symbol);
}

// Long inputs are cut between characters that no merge key can join (see
// JoinableBytes); each stretch then merges on its own, which gives the same
// symbols as merging the whole, since no pair ever spans a cut. A stretch as
// short as a word takes the flat path, so time grows linearly with the number
// of such stretches.
std::vector<Symbol> merge_stretches(const CoreBPE& bpe, PairRanks& pair_rank, std::string_view text) {
  std::vector<Symbol> symbols;
  symbols.reserve(text.size());
  Symbol stretch[kShortWord + 1];
  std::size_t count = 0;
  std::size_t begin = 0;
  auto finish = [&](std::size_t end) {
    if (count == 1) {
      symbols.push_back(stretch[0]);
    } else if (count <= kShortWord) {
      const std::size_t merged = merge_short(pair_rank, stretch, count);
      symbols.insert(symbols.end(), stretch, stretch + merged);
    } else {
      merge_long(pair_rank, begin, end, symbols);
    }
    count = 0;
    begin = end;
  };
  for (std::size_t pos = 0; pos < text.size();) {
    if (pos > begin && !bpe.joinable.contains(static_cast<unsigned char>(text[pos - 1]),
                                              static_cast<unsigned char>(text[pos]))) {
      finish(pos);
    }
    const Symbol symbol = pair_rank.char_symbol(pos);
    if (count < kShortWord) stretch[count] = symbol;
    ++count;
    pos = symbol.end;
  }
  finish(text.size());
  return symbols;
}

// Merges a word stretch by stretch between the cuts (see merge_stretches),
// which keeps every rescan as short as a morpheme. Returns the number of
// final symbols, left at the front of `symbols`.
std::size_t merge_cut_word(const CoreBPE& bpe, PairRanks& pair_rank, Symbol* symbols, std::size_t count) {
  std::size_t kept = 0;
  std::size_t begin = 0;
  for (std::size_t i = 1; i <= count; ++i) {
    if (i < count && bpe.joinable.contains(pair_rank.last_byte(symbols[i - 1]), pair_rank.first_byte(symbols[i]))) {
      continue;
    }
    const std::size_t merged = i - begin == 1 ? 1 : merge_short(pair_rank, symbols + begin, i - begin);
    for (std::size_t j = 0; j < merged; ++j) symbols[kept + j] = symbols[begin + j];
    kept += merged;
    begin = i;
  }
  return kept;
}

void map_symbols(const CoreBPE& bpe, const PairRanks& pair_rank, const Symbol* symbols,
                 std::size_t count, IdBuffer& ids) {
  ids.reserve(ids.size() + count);
  for (std::size_t s = 0; s < count; ++s) {
    if (symbols[s].token != kNoToken) {
      ids.push_back(bpe.token_to_id.value_at(symbols[s].token));
      continue;
    }
    for (std::size_t pos = symbols[s].begin; pos < symbols[s].end;) {
      const Symbol symbol = pair_rank.char_symbol(pos);
      ids.push_back(symbol.token != kNoToken ? bpe.token_to_id.value_at(symbol.token) : bpe.unk_id);
      pos = symbol.end;
    }
  }
}

}  // namespace

void encode(const CoreBPE& bpe, std::string_view text, IdBuffer& ids) {
  if (text.empty()) return;
  PairRanks pair_rank(bpe, text);
  // A word of up to kShortWord characters merges in place, with no
  // allocation; one more entry holds merge_short's sentinel.
  Symbol word[kShortWord + 1];
  std::size_t count = 0;
  std::size_t pos = 0;
  for (; pos < text.size() && count < kShortWord; ++count) {
    word[count] = pair_rank.char_symbol(pos);
    pos = word[count].end;
  }
  if (pos == text.size()) {
    map_symbols(bpe, pair_rank, word, merge_cut_word(bpe, pair_rank, word, count), ids);
    return;
  }
  const std::vector<Symbol> symbols = merge_stretches(bpe, pair_rank, text);
  map_symbols(bpe, pair_rank, symbols.data(), symbols.size(), ids);
}

std::vector<TokenId> encode(const CoreBPE& bpe, std::string_view text) {
  IdBuffer ids;
  encode(bpe, text, ids);
  return std::vector<TokenId>(ids.begin(), ids.end());
}

}  // namespace morfex::bpe
