#include "bpe/encoder.h"

#include <cstddef>
#include <string>

#include "bpe/utf8.h"

namespace morfex::bpe {
namespace {

// Symbols always concatenate to the text, so each one is a byte range of it
// and a merge only moves a boundary.
struct Symbol {
  std::size_t begin;
  std::size_t end;
};

std::vector<Symbol> split_characters(std::string_view text) {
  std::vector<Symbol> symbols;
  symbols.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t len = char_length(text, pos);
    symbols.push_back({pos, pos + len});
    pos += len;
  }
  return symbols;
}

void merge_by_rank(const MergeRanks& ranks, std::string_view text, std::vector<Symbol>& symbols) {
  std::string key;
  key.reserve(32);
  while (symbols.size() >= 2) {
    Rank best = kNoRank;
    std::size_t best_pos = 0;
    for (std::size_t i = 0; i + 1 < symbols.size(); ++i) {
      key.assign(text.substr(symbols[i].begin, symbols[i].end - symbols[i].begin));
      key.push_back(kMergeSeparator);
      key.append(text.substr(symbols[i + 1].begin, symbols[i + 1].end - symbols[i + 1].begin));
      if (auto it = ranks.find(std::string_view(key)); it != ranks.end() && it->second < best) {
        best = it->second;
        best_pos = i;
      }
    }
    if (best == kNoRank) break;
    symbols[best_pos].end = symbols[best_pos + 1].end;
    symbols.erase(symbols.begin() + static_cast<std::ptrdiff_t>(best_pos) + 1);
  }
}

}  // namespace

std::vector<TokenId> encode(const CoreBPE& bpe, std::string_view text) {
  if (text.empty()) return {};
  std::vector<Symbol> symbols = split_characters(text);
  if (!bpe.merge_ranks.empty()) merge_by_rank(bpe.merge_ranks, text, symbols);

  std::vector<TokenId> ids;
  ids.reserve(symbols.size());
  for (const Symbol& symbol : symbols) {
    const std::string_view whole = text.substr(symbol.begin, symbol.end - symbol.begin);
    if (auto it = bpe.token_to_id.find(whole); it != bpe.token_to_id.end()) {
      ids.push_back(it->second);
      continue;
    }
    for (std::size_t pos = 0; pos < whole.size();) {
      const std::size_t len = char_length(whole, pos);
      auto it = bpe.token_to_id.find(whole.substr(pos, len));
      ids.push_back(it != bpe.token_to_id.end() ? it->second : bpe.unk_id);
      pos += len;
    }
  }
  return ids;
}

}  // namespace morfex::bpe
