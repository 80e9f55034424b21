#include "bpe/model.h"

#include <utility>

namespace morfex::bpe {
namespace {

Model with_tables(CoreBPE record) {
  MergeIndex index(record);
  Decoder decoder(record);
  return Model{std::move(record), std::move(index), std::move(decoder)};
}

}  // namespace

Model Model::build(TokenToId vocab, MergeList merges) {
  return with_tables(CoreBPE::build(std::move(vocab), std::move(merges)));
}

Model Model::from_ranks(TokenToId vocab, MergeRanks merge_ranks) {
  return with_tables(CoreBPE::from_ranks(std::move(vocab), std::move(merge_ranks)));
}

}  // namespace morfex::bpe
