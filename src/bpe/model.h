#pragma once

#include "bpe/core_bpe.h"
#include "bpe/decoder.h"
#include "bpe/merge_index.h"

namespace morfex::bpe {

// A record with the tables that encoding and decoding derive from it: what a
// consumer builds once and then shares, read-only, across calls and threads.
struct Model {
  CoreBPE record;
  MergeIndex index;
  Decoder decoder;

  // As CoreBPE::build and CoreBPE::from_ranks, with the tables built too.
  static Model build(TokenToId vocab, MergeList merges);
  static Model from_ranks(TokenToId vocab, MergeRanks merge_ranks);
};

}  // namespace morfex::bpe
