#include "bpe/dropout.h"

#include "bpe/model.h"
#include "bpe/symbols.h"

namespace morfex::bpe {

// The whole text goes through one heap, not stretch by stretch as in the
// exact encoder: the draws then follow the merge order of the whole word.
void encode_dropout(const Model& model, std::string_view text, double rate, RandomStream& stream, IdBuffer& ids,
                    TokenId unknown) {
  if (text.empty()) return;
  symbols::PairRanks pair_rank(model.record, model.index, text);
  auto emit = [&](const symbols::Symbol& symbol) {
    if (symbol.token != symbols::kNoToken) {
      ids.push_back(pair_rank.id_at(symbol.token));
    } else {
      symbols::emit_char_ids(pair_rank, symbol, unknown, ids);
    }
  };
  symbols::merge_queued(pair_rank, 0, text.size(), emit, [&] { return stream.uniform() < rate; });
}

}  // namespace morfex::bpe
