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
using symbols::kShortWord;
using symbols::PairRanks;
using symbols::ShortStretch;
using symbols::Symbol;

// Stretches of this many characters are first looked up whole: shorter ones
// merge in fewer steps than a string lookup takes, and longer ones are rarely
// a single token (a morpheme is short), so their tokens are not worth
// merging at construction.
constexpr std::size_t kWholeShortest = 4;
constexpr std::size_t kWholeLongest = 8;

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
