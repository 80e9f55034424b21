#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "bpe/vocabulary.h"
#include "train/corpus.h"

namespace morfex::train {

struct TrainOptions {
  // Size of the finished vocabulary, base tokens included. The base (the four
  // special tokens, the marker and the alphabet) is always kept whole.
  std::size_t vocab_size = 8000;
  // Pairs seen fewer times than this are never merged.
  Count min_frequency = 2;
  // Most frequent characters to keep; 0 keeps all. The rest encode as <unk>.
  std::size_t alphabet_limit = 0;
  // Reserve the 256 byte tokens "<0x00>" .. "<0xFF>" right after the marker,
  // for characters the vocabulary lacks.
  bool byte_fallback = false;
};

struct TrainedModel {
  // Token string by id: <pad>, <unk>, <s>, </s>, the marker, with byte
  // fallback the byte tokens (ids 5 to 260), the alphabet in code point order,
  // then merged tokens in the order they were made.
  std::vector<std::string> tokens;
  bpe::MergeList merges;
};

// Reports (tokens added so far, tokens wanted); called now and then while
// training and once at the end. It may throw to abandon the training.
using Progress = std::function<void(std::size_t, std::size_t)>;

// Called now and then within the long stretches of work between two merges
// (a single long word can take seconds); it may throw to abandon the training.
using Poll = std::function<void()>;

// Byte-pair training that never forms a pair with the boundary marker. Each
// step merges the most frequent adjacent pair; ties go to the pair with the
// smaller left id, then the smaller right id, so equal input gives an equal
// model. A pair whose merged string is a special or byte token is never merged.
TrainedModel train(const MorphemeCounts& morphemes, const TrainOptions& options,
                   const Progress& progress = {}, const Poll& poll = {});

}  // namespace morfex::train
