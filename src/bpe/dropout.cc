#include "bpe/dropout.h"

#include "bpe/model.h"
#include "bpe/symbols.h"

namespace morfex::bpe {

// The whole text merges as one, not stretch by stretch as in the exact
// encoder, so that the draws follow the merge order of the whole word: a
// word as short as a stretch in place, a longer one through the heap.
void encode_dropout(const Model& model, std::string_view text, double rate, RandomStream& stream, IdBuffer& ids,
                    TokenId unknown) {
  symbols::PairRanks pair_rank(model.record, model.index, text);
  auto emit = [&](const symbols::Symbol& symbol) {
    if (symbol.token != symbols::kNoToken) {
      ids.push_back(pair_rank.id_at(symbol.token));
    } else {
      symbols::emit_char_ids(pair_rank, symbol, unknown, ids);
    }
  };
  auto skip = [&] { return stream.uniform() < rate; };
  symbols::ShortStretch stretch(pair_rank, 0);
  symbols::Symbol last{};
  for (std::size_t pos = 0; pos < text.size(); pos = last.end) {
    if (stretch.size() == symbols::kShortWord) {
      symbols::merge_queued(pair_rank, 0, text.size(), emit, skip);
      return;
    }
    last = pair_rank.char_symbol(pos);
    stretch.add(last);
  }
  if (stretch.size() == 1) {
    emit(last);
  } else if (stretch.size() > 1) {
    stretch.merge_skipping(emit, skip);
  }
}

}  // namespace morfex::bpe
