#include "train/alphabet.h"

#include <algorithm>
#include <utility>

#include "bpe/utf8.h"

namespace morfex::train {

std::vector<std::string> choose_alphabet(const MorphemeCounts& morphemes, std::size_t limit) {
  bpe::StringMap<Count> char_counts;
  for (const auto& [morpheme, count] : morphemes) {
    const std::string_view text = morpheme;
    for (std::size_t pos = 0; pos < text.size();) {
      const std::size_t len = bpe::char_length(text, pos);
      const std::string_view ch = text.substr(pos, len);
      auto it = char_counts.find(ch);
      if (it == char_counts.end()) {
        char_counts.emplace(std::string(ch), count);
      } else {
        it->second += count;
      }
      pos += len;
    }
  }
  std::vector<std::pair<std::string, Count>> ranked(char_counts.begin(), char_counts.end());
  // UTF-8 byte order is code point order, so plain string comparison sorts by
  // code point.
  if (limit != 0 && ranked.size() > limit) {
    std::sort(ranked.begin(), ranked.end(), [](const auto& x, const auto& y) {
      return x.second != y.second ? x.second > y.second : x.first < y.first;
    });
    ranked.resize(limit);
  }
  std::vector<std::string> alphabet;
  alphabet.reserve(ranked.size());
  for (auto& entry : ranked) alphabet.push_back(std::move(entry.first));
  std::sort(alphabet.begin(), alphabet.end());
  return alphabet;
}

}  // namespace morfex::train
