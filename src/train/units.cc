#include "train/units.h"

namespace morfex::train {

void Units::add(std::span<const bpe::TokenId> symbols, Count count) {
  if (symbols.size() < 2) return;
  starts_.push_back(symbols_.size());
  lengths_.push_back(static_cast<std::uint32_t>(symbols.size()));
  counts_.push_back(count);
  symbols_.insert(symbols_.end(), symbols.begin(), symbols.end());
}

}  // namespace morfex::train
