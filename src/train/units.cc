#include "train/units.h"

#include <stdexcept>

namespace morfex::train {

void Units::add(std::span<const bpe::TokenId> symbols, Count count) {
  if (symbols.size() < 2) return;
  const std::size_t start = symbols_.size();
  if (symbols.size() >= kNone - start) {
    throw std::length_error("more than 4294967294 characters to train on");
  }
  const auto unit = static_cast<std::uint32_t>(counts_.size());
  starts_.push_back(static_cast<Position>(start));
  counts_.push_back(count);
  symbols_.insert(symbols_.end(), symbols.begin(), symbols.end());
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    const auto at = static_cast<Position>(start + i);
    prev_.push_back(i == 0 ? kNone : at - 1);
    next_.push_back(i + 1 == symbols.size() ? kNone : at + 1);
    unit_of_.push_back(unit);
  }
}

std::vector<bpe::TokenId> Units::symbols(std::size_t unit) const {
  std::vector<bpe::TokenId> out;
  for (Position at = starts_[unit]; at != kNone; at = next_[at]) out.push_back(symbols_[at]);
  return out;
}

}  // namespace morfex::train
