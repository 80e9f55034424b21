#pragma once

// The encode and decode rules written as plainly as they read, with their own
// std::map tables, for differential tests and the fuzzer: one std::string per
// symbol, keys built by concatenation, a full rescan after every merge.

#include <algorithm>
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bpe/vocabulary.h"

namespace morfex::bpe::naive {

using Vocab = std::map<std::string, TokenId>;

// Whole UTF-8 characters; a byte that starts none is a character of its own.
inline std::vector<std::string> characters(std::string_view text) {
  std::vector<std::string> chars;
  for (std::size_t pos = 0; pos < text.size();) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    std::size_t len = lead >= 0xF0 && lead < 0xF8 ? 4 : lead >= 0xE0 && lead < 0xF0 ? 3 : lead >= 0xC0 && lead < 0xE0 ? 2 : 1;
    if (len > text.size() - pos) len = text.size() - pos;
    chars.emplace_back(text.substr(pos, len));
    pos += len;
  }
  return chars;
}

// Merge key to rank; a repeated key keeps its last rank.
inline std::map<std::string, Rank> rank_table(const MergeList& merges) {
  std::map<std::string, Rank> ranks;
  for (std::size_t rank = 0; rank < merges.size(); ++rank) {
    ranks[merges[rank].first + kMergeSeparator + merges[rank].second] = static_cast<Rank>(rank);
  }
  return ranks;
}

// The final symbols of `text`: the lowest-ranked pair merged, leftmost first, until none has a rank.
inline std::vector<std::string> symbols(const MergeList& merges, std::string_view text) {
  const std::map<std::string, Rank> ranks = rank_table(merges);
  std::vector<std::string> symbols = characters(text);
  for (;;) {
    Rank best = kNoRank;
    std::size_t at = 0;
    for (std::size_t i = 0; i + 1 < symbols.size(); ++i) {
      const auto found = ranks.find(symbols[i] + kMergeSeparator + symbols[i + 1]);
      if (found != ranks.end() && found->second < best) {
        best = found->second;
        at = i;
      }
    }
    if (best == kNoRank) break;
    symbols[at] += symbols[at + 1];
    symbols.erase(symbols.begin() + static_cast<std::ptrdiff_t>(at) + 1);
  }
  return symbols;
}

// The same with each merge dropped as BPE-dropout does: every step sorts
// the ranked pairs by rank and position, drops each while `drop()` says so,
// and merges the first one kept; a step that drops them all ends merging.
template <class Drop>
std::vector<std::string> dropout_symbols(const MergeList& merges, std::string_view text, Drop&& drop) {
  const std::map<std::string, Rank> ranks = rank_table(merges);
  std::vector<std::string> symbols = characters(text);
  for (;;) {
    std::vector<std::pair<Rank, std::size_t>> ranked;
    for (std::size_t i = 0; i + 1 < symbols.size(); ++i) {
      const auto found = ranks.find(symbols[i] + kMergeSeparator + symbols[i + 1]);
      if (found != ranks.end() && found->second != kNoRank) ranked.emplace_back(found->second, i);
    }
    std::sort(ranked.begin(), ranked.end());
    std::size_t at = symbols.size();
    for (const auto& [rank, i] : ranked) {
      if (!drop()) {
        at = i;
        break;
      }
    }
    if (at == symbols.size()) break;
    symbols[at] += symbols[at + 1];
    symbols.erase(symbols.begin() + static_cast<std::ptrdiff_t>(at) + 1);
  }
  return symbols;
}

// The ids of final symbols: a symbol the vocabulary lacks as its characters.
inline std::vector<TokenId> ids_of(const Vocab& vocab, const std::vector<std::string>& symbols) {
  const auto unk = vocab.find("<unk>");
  const TokenId unk_id = unk != vocab.end() ? unk->second : kDefaultUnkId;
  std::vector<TokenId> ids;
  for (const std::string& symbol : symbols) {
    if (const auto found = vocab.find(symbol); found != vocab.end()) {
      ids.push_back(found->second);
      continue;
    }
    for (const std::string& ch : characters(symbol)) {
      const auto found = vocab.find(ch);
      ids.push_back(found != vocab.end() ? found->second : unk_id);
    }
  }
  return ids;
}

inline std::vector<TokenId> encode(const Vocab& vocab, const MergeList& merges, std::string_view text) {
  return ids_of(vocab, symbols(merges, text));
}

inline std::set<TokenId> special_ids(const Vocab& vocab) {
  std::set<TokenId> ids;
  for (const char* special : kSpecialTokens) {
    if (const auto found = vocab.find(special); found != vocab.end()) ids.insert(found->second);
  }
  return ids;
}

inline std::string without_markers(std::string text) {
  for (std::size_t at = text.find(kBoundaryMarker); at != std::string::npos; at = text.find(kBoundaryMarker, at)) {
    text.erase(at, kBoundaryMarker.size());
  }
  return text;
}

// `tokens` in the order whose last token of an id is the one that id spells.
inline std::string decode(const std::vector<std::pair<std::string, TokenId>>& tokens,
                          const std::set<TokenId>& specials, const std::vector<TokenId>& ids) {
  std::map<TokenId, std::string> token_of;
  for (const auto& [token, id] : tokens) token_of[id] = token;
  std::string joined;
  for (const TokenId id : ids) {
    const auto found = token_of.find(id);
    if (found != token_of.end() && !specials.contains(id)) joined += found->second;
  }
  return without_markers(joined);
}

}  // namespace morfex::bpe::naive
