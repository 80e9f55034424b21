#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "train/corpus.h"

namespace morfex::train {

// The characters that become base tokens: every character of the morphemes,
// or with a nonzero `limit` the `limit` most frequent ones (on equal counts
// the smaller code point wins). Returned in code point order.
std::vector<std::string> choose_alphabet(const MorphemeCounts& morphemes, std::size_t limit);

}  // namespace morfex::train
