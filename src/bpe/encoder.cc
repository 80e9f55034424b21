#include "bpe/encoder.h"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <queue>
#include <string>

#include "bpe/utf8.h"

namespace morfex::bpe {
namespace {

// Symbols always concatenate to the text, so each one is a byte range of it
// and a merge only moves a boundary.
struct Symbol {
  std::size_t begin;
  std::size_t end;
};

// Words up to this many characters take the flat path: a rescan of a few
// cached ranks beats a heap on a word, and needs no allocation.
constexpr std::size_t kShortWord = 32;

// The rank of two adjacent symbols, looked up by their joined key exactly as
// the merge list was keyed, so symbols holding a TAB match as the key says.
class PairRanks {
 public:
  PairRanks(const MergeRanks& ranks, std::string_view text) noexcept : ranks_(ranks), text_(text) {}

  Rank operator()(std::size_t begin, std::size_t middle, std::size_t end) {
    // The key is one byte longer than the two symbols.
    if (end - begin >= ranks_.longest_key()) return kNoRank;
    key_.assign(text_.substr(begin, middle - begin));
    key_.push_back(kMergeSeparator);
    key_.append(text_.substr(middle, end - middle));
    const Rank* rank = ranks_.get(key_);
    return rank != nullptr ? *rank : kNoRank;
  }

 private:
  const MergeRanks& ranks_;
  std::string_view text_;
  std::string key_;
};

std::size_t split_characters(std::string_view text, Symbol* out, std::size_t limit) {
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < text.size() && count < limit; ++count) {
    const std::size_t len = char_length(text, pos);
    out[count] = {pos, pos + len};
    pos += len;
  }
  return count;
}

// Keeps the rank of every adjacent pair; after a merge only the two pairs
// around the merged symbol are looked up again. Returns the symbol count.
std::size_t merge_short(PairRanks& pair_rank, Symbol* symbols, std::size_t count) {
  Rank ranks[kShortWord];
  for (std::size_t i = 0; i + 1 < count; ++i) ranks[i] = pair_rank(symbols[i].begin, symbols[i].end, symbols[i + 1].end);
  while (count >= 2) {
    // The first minimum is the leftmost pair of the lowest rank.
    const std::size_t best = static_cast<std::size_t>(std::min_element(ranks, ranks + count - 1) - ranks);
    if (ranks[best] == kNoRank) break;
    symbols[best].end = symbols[best + 1].end;
    std::copy(symbols + best + 2, symbols + count, symbols + best + 1);
    std::copy(ranks + best + 1, ranks + count - 1, ranks + best);
    --count;
    if (best > 0) ranks[best - 1] = pair_rank(symbols[best - 1].begin, symbols[best - 1].end, symbols[best].end);
    if (best + 1 < count) ranks[best] = pair_rank(symbols[best].begin, symbols[best].end, symbols[best + 1].end);
  }
  return count;
}

// Symbols as a doubly linked array, one node per character; a node that has
// been merged into its left neighbour is dead.
struct Node {
  std::size_t begin;
  std::size_t end;
  std::size_t prev;
  std::size_t next;
};
constexpr std::size_t kNone = ~std::size_t{0};

// A pair that was adjacent when queued. It is still current exactly when its
// left node still ends at `middle` and that node's neighbour ends at `end`:
// symbols only grow, so those extents never come back once changed.
struct Candidate {
  Rank rank;
  std::size_t left;
  std::size_t middle;
  std::size_t end;

  // Lowest rank first, then the leftmost pair.
  bool operator>(const Candidate& other) const noexcept {
    return rank != other.rank ? rank > other.rank : left > other.left;
  }
};

// A min-heap of candidate pairs with lazy invalidation: O(n log n) for a word
// of n characters instead of a rescan after every merge.
void merge_long(PairRanks& pair_rank, std::string_view text, std::size_t begin, std::size_t end,
                std::vector<Symbol>& symbols) {
  std::vector<Node> nodes;
  nodes.reserve(end - begin);
  for (std::size_t pos = begin; pos < end;) {
    const std::size_t len = char_length(text, pos);
    const std::size_t index = nodes.size();
    nodes.push_back({pos, pos + len, index == 0 ? kNone : index - 1, index + 1});
    pos += len;
  }
  nodes.back().next = kNone;

  std::vector<Candidate> storage;
  storage.reserve(nodes.size());
  std::priority_queue<Candidate, std::vector<Candidate>, std::greater<>> queue(std::greater<>{}, std::move(storage));
  auto offer = [&](std::size_t left) {
    const Node& node = nodes[left];
    const std::size_t end = nodes[node.next].end;
    if (const Rank rank = pair_rank(node.begin, node.end, end); rank != kNoRank) queue.push({rank, left, node.end, end});
  };
  for (std::size_t i = 0; i + 1 < nodes.size(); ++i) offer(i);

  while (!queue.empty()) {
    const Candidate top = queue.top();
    queue.pop();
    Node& left = nodes[top.left];
    if (left.end != top.middle || left.next == kNone || nodes[left.next].end != top.end) continue;
    Node& right = nodes[left.next];
    left.end = right.end;
    left.next = right.next;
    right.end = kNone;
    if (left.next != kNone) {
      nodes[left.next].prev = top.left;
      offer(top.left);
    }
    if (left.prev != kNone) offer(left.prev);
  }

  for (std::size_t i = 0; i != kNone; i = nodes[i].next) symbols.push_back({nodes[i].begin, nodes[i].end});
}

// Long inputs are cut between characters that no merge key can join (see
// JoinableBytes); each stretch then merges on its own, which gives the same
// symbols as merging the whole, since no pair ever spans a cut. A stretch as
// short as a word takes the flat path, so time grows linearly with the number
// of such stretches.
std::vector<Symbol> merge_stretches(const CoreBPE& bpe, PairRanks& pair_rank, std::string_view text) {
  std::vector<Symbol> symbols;
  Symbol stretch[kShortWord];
  std::size_t count = 0;
  std::size_t begin = 0;
  auto finish = [&](std::size_t end) {
    if (count < kShortWord) {
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
    if (count < kShortWord) stretch[count] = {pos, pos + len};
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
    const std::string_view whole = text.substr(symbols[s].begin, symbols[s].end - symbols[s].begin);
    if (const TokenId* id = bpe.token_to_id.get(whole)) {
      ids.push_back(*id);
      continue;
    }
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
  PairRanks pair_rank(bpe.merge_ranks, text);
  Symbol short_symbols[kShortWord];
  const std::size_t count = split_characters(text, short_symbols, kShortWord);
  if (count < kShortWord || short_symbols[count - 1].end == text.size()) {
    const std::size_t merged = bpe.merge_ranks.empty() ? count : merge_short(pair_rank, short_symbols, count);
    map_symbols(bpe, text, short_symbols, merged, ids);
  } else {
    const std::vector<Symbol> symbols = merge_stretches(bpe, pair_rank, text);
    map_symbols(bpe, text, symbols.data(), symbols.size(), ids);
  }
  return ids;
}

}  // namespace morfex::bpe
