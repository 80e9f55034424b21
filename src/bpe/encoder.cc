#include "bpe/encoder.h"

#include <cstddef>
#include <cstdint>

#include "bpe/model.h"
#include "bpe/symbols.h"

namespace morfex::bpe {
namespace {

using symbols::emit_char_ids;
using symbols::kNoToken;
using symbols::PairRank;
using symbols::PairRanks;
using symbols::Symbol;

// Stretches up to this many characters take the flat path: a rescan of a few
// cached ranks beats a heap on a word, and needs no allocation.
constexpr std::size_t kShortWord = 32;
// Stretches of this many characters are first looked up whole: shorter ones
// merge in fewer steps than a string lookup takes, and longer ones are rarely
// a single token (a morpheme is short), so their tokens are not worth
// merging at construction.
constexpr std::size_t kWholeShortest = 4;
constexpr std::size_t kWholeLongest = 8;

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
        merge_many(emit);
        return;
    }
    for (std::size_t i = 0; i < count_; i = end_of_[i]) emit(symbol(i));
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

  void merge_three() {
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

  template <class Emit>
  void merge_many(Emit&& emit) {
    // Rank and position in one number: its minimum is the leftmost pair of
    // the lowest rank, found by a scan without branches.
    std::uint64_t order[kShortWord];
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

  PairRanks& pair_rank_;
  std::size_t base_;
  std::size_t count_ = 0;
  std::uint32_t token_[kShortWord];
  std::uint8_t begin_[kShortWord];
  std::uint8_t end_[kShortWord];
  std::uint8_t end_of_[kShortWord];
};

// A stretch of more than kShortWord characters goes through the heap.
template <class Emit>
[[gnu::noinline]] void merge_long(PairRanks& pair_rank, std::size_t begin, std::size_t end, Emit&& emit) {
  symbols::merge_queued(pair_rank, begin, end, emit, [] { return false; });
}

// Appends the ids of a stretch of `count` (two or more) characters. Kept out
// of line: the stretches of one character, the most common, skip it.
template <class Emit>
[[gnu::noinline]] void finish_stretch(PairRanks& pair_rank, ShortStretch& stretch, std::size_t begin,
                                      std::size_t end, std::size_t count, IdBuffer& ids, Emit& emit) {
  if (count > kShortWord) {
    merge_long(pair_rank, begin, end, emit);
    return;
  }
  // Most stretches of a word are morphemes that end as one token; for a long
  // one, finding that out by its text costs less than merging.
  if (count >= kWholeShortest && count <= kWholeLongest) {
    const std::uint32_t whole = pair_rank.token_at(begin, end);
    if (whole != kNoToken && pair_rank.merges_whole(whole)) {
      ids.push_back(pair_rank.id_at(whole));
      return;
    }
  }
  stretch.merge(emit);
}

}  // namespace

// The text is cut between characters that no merge key can join (see
// JoinableBytes); each stretch then merges on its own, which gives the same
// symbols as merging the whole, since no pair ever spans a cut. In a word the
// stretches are its morphemes and markers; a stretch as short as a word
// merges in place, a longer one through the heap, so time grows with the
// length of the text and not with its square.
void encode(const Model& model, std::string_view text, IdBuffer& ids) { encode(model, text, ids, model.record.unk_id); }

void encode(const Model& model, std::string_view text, IdBuffer& ids, TokenId unknown) {
  const MergeIndex& index = model.index;
  PairRanks pair_rank(model.record, index, text);
  auto emit = [&](const Symbol& symbol) {
    if (symbol.token != kNoToken) {
      ids.push_back(pair_rank.id_at(symbol.token));
    } else {
      emit_char_ids(pair_rank, symbol, unknown, ids);
    }
  };
  std::size_t begin = 0;
  std::size_t count = 0;
  ShortStretch stretch(pair_rank, 0);
  Symbol last{};
  auto finish = [&](std::size_t end) {
    if (count == 1) {
      emit(last);
    } else {
      finish_stretch(pair_rank, stretch, begin, end, count, ids, emit);
    }
  };
  for (std::size_t pos = 0; pos < text.size();) {
    if (pos > begin && !index.joinable.joins_at(text, pos)) {
      finish(pos);
      begin = pos;
      count = 0;
      stretch.reset(pos);
    }
    last = pair_rank.char_symbol(pos);
    if (count < kShortWord) stretch.add(last);
    ++count;
    pos = last.end;
  }
  if (count != 0) finish(text.size());
}

bool merges_to_itself(const CoreBPE& record, const MergeIndex& index, std::string_view token) {
  PairRanks pair_rank(record, index, token);
  ShortStretch stretch(pair_rank, 0);
  for (std::size_t pos = 0; pos < token.size();) {
    if (stretch.size() == kWholeLongest) return false;
    if (pos > 0 && !index.joinable.joins_at(token, pos)) return false;
    const Symbol symbol = pair_rank.char_symbol(pos);
    stretch.add(symbol);
    pos = symbol.end;
  }
  if (stretch.size() < kWholeShortest) return false;
  std::size_t symbols = 0;
  stretch.merge([&](const Symbol&) { ++symbols; });
  return symbols == 1;
}

std::vector<TokenId> encode(const Model& model, std::string_view text) {
  IdBuffer ids;
  encode(model, text, ids);
  return std::vector<TokenId>(ids.begin(), ids.end());
}

}  // namespace morfex::bpe
