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

// Words up to this many characters take the flat path: a rescan of a few
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
      const PairTable::Merge* merge = bpe_.merge_pairs.find(left.token, right.token);
      return merge != nullptr ? PairRank{merge->rank, merge->merged} : PairRank{kNoRank, kNoToken};
    }
    // The key is one byte longer than the two symbols.
    if (right.end - left.begin >= bpe_.merge_ranks.longest_key()) return {kNoRank, kNoToken};
    key_.assign(text_.substr(left.begin, left.end - left.begin));
    key_.push_back(kMergeSeparator);
    key_.append(text_.substr(right.begin, right.end - right.begin));
    const Rank* rank = bpe_.merge_ranks.get(key_);
    return rank != nullptr ? PairRank{*rank, kLookUp} : PairRank{kNoRank, kNoToken};
  }

  // Makes `left` the merge of itself and the symbol after it, ending at `end`.
  void merge(Symbol& left, std::size_t end, std::uint32_t merged) const noexcept {
    left.end = end;
    left.token = merged != kLookUp ? merged : token_at(left.begin, end);
  }

  std::uint32_t token_at(std::size_t begin, std::size_t end) const noexcept {
    return bpe_.token_to_id.position_of(text_.substr(begin, end - begin));
  }

 private:
  const CoreBPE& bpe_;
  std::string_view text_;
  std::string key_;
};

// Keeps the rank of every adjacent pair; after a merge only the two pairs
// around the merged symbol are ranked again. Returns the symbol count.
std::size_t merge_short(PairRanks& pair_rank, Symbol* symbols, std::size_t count) {
  PairRank ranks[kShortWord];
  for (std::size_t i = 0; i + 1 < count; ++i) ranks[i] = pair_rank(symbols[i], symbols[i + 1]);
  auto by_rank = [](const PairRank& a, const PairRank& b) { return a.rank < b.rank; };
  while (count >= 2) {
    // The first minimum is the leftmost pair of the lowest rank.
    const std::size_t best = static_cast<std::size_t>(std::min_element(ranks, ranks + count - 1, by_rank) - ranks);
    if (ranks[best].rank == kNoRank) break;
    pair_rank.merge(symbols[best], symbols[best + 1].end, ranks[best].merged);
    std::copy(symbols + best + 2, symbols + count, symbols + best + 1);
    std::copy(ranks + best + 1, ranks + count - 1, ranks + best);
    --count;
    if (best > 0) ranks[best - 1] = pair_rank(symbols[best - 1], symbols[best]);
    if (best + 1 < count) ranks[best] = pair_rank(symbols[best], symbols[best + 1]);
  }
  return count;
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
void merge_long(PairRanks& pair_rank, std::string_view text, std::size_t begin, std::size_t end,
                std::vector<Symbol>& symbols) {
  std::vector<Node> nodes;
  nodes.reserve(end - begin);
  for (std::size_t pos = begin; pos < end;) {
    const std::size_t len = char_length(text, pos);
    const std::size_t index = nodes.size();
    nodes.push_back({{pos, pos + len, pair_rank.token_at(pos, pos + len)}, index == 0 ? kNone : index - 1, index + 1});
    pos += len;
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
  Symbol stretch[kShortWord];
  std::size_t count = 0;
  std::size_t begin = 0;
  auto finish = [&](std::size_t end) {
    if (count == 1) {
      symbols.push_back(stretch[0]);
    } else if (count <= kShortWord) {
      const std::size_t merged = merge_short(pair_rank, stretch, count);
      symbols.insert(symbols.end(), stretch, stretch + merged);
    } else {
      merge_long(pair_rank, text, begin, end, symbols);
    }
    count = 0;
    begin = end;
  };
  for (std::size_t pos = 0; pos < text.size();) {
    if (pos > begin && !bpe.joinable.contains(static_cast<unsigned char>(text[pos - 1]),
                                              static_cast<unsigned char>(text[pos]))) {
      finish(pos);
    }
    const std::size_t len = char_length(text, pos);
    if (count < kShortWord) stretch[count] = {pos, pos + len, pair_rank.token_at(pos, pos + len)};
    ++count;
    pos += len;
  }
  finish(text.size());
  return symbols;
}

void map_symbols(const CoreBPE& bpe, std::string_view text, const Symbol* symbols, std::size_t count,
                 std::vector<TokenId>& ids) {
  ids.reserve(count);
  for (std::size_t s = 0; s < count; ++s) {
    if (symbols[s].token != kNoToken) {
      ids.push_back(bpe.token_to_id.value_at(symbols[s].token));
      continue;
    }
    const std::string_view whole = text.substr(symbols[s].begin, symbols[s].end - symbols[s].begin);
    for (std::size_t pos = 0; pos < whole.size();) {
      const std::size_t len = char_length(whole, pos);
      const TokenId* id = bpe.token_to_id.get(whole.substr(pos, len));
      ids.push_back(id != nullptr ? *id : bpe.unk_id);
      pos += len;
    }
  }
}

}  // namespace

std::vector<TokenId> encode(const CoreBPE& bpe, std::string_view text) {
  std::vector<TokenId> ids;
  if (text.empty()) return ids;
  PairRanks pair_rank(bpe, text);
  const std::vector<Symbol> symbols = merge_stretches(bpe, pair_rank, text);
  map_symbols(bpe, text, symbols.data(), symbols.size(), ids);
  return ids;
}

}  // namespace morfex::bpe
