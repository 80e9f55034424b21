// libFuzzer harness for the tokenizer core. The input is read as a recipe:
// a vocabulary, a merge list and a text, all drawn from a small alphabet so
// that merges and vocabulary hits are common. The core's encoder is checked
// against a deliberately naive one written here; decode must never fail.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bpe/core_bpe.h"
#include "bpe/decoder.h"
#include "bpe/encoder.h"
#include "bpe/model.h"

namespace {

using morfex::bpe::Model;
using morfex::bpe::TokenId;

// One to four UTF-8 bytes each; TAB and NUL test the unescaped merge key,
// '<', 's', '/' and '>' let merges build the special tokens.
constexpr std::array<std::string_view, 12> kAlphabet = {
    "a", "b", "c", "\t", std::string_view("\0", 1), "\xE2\x96\x81", "\xC3\xA9", "\xE2\x82\xAC",
    "\xF0\x9F\x98\x80", "<", "s", ">"};
constexpr std::array<std::string_view, 4> kSpecials = {"<pad>", "<unk>", "<s>", "</s>"};

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool done() const { return pos_ >= size_; }

  std::string token() {
    const std::uint8_t length = next();
    if (length >= 0xFC) return std::string(kSpecials[length - 0xFC]);
    std::string text;
    for (int i = 0; i < length % 4; ++i) text += kAlphabet[next() % kAlphabet.size()];
    return text;
  }

  // Mostly small ids, so that tokens share ids; sometimes any 32-bit value.
  TokenId id() {
    const std::uint8_t kind = next();
    if (kind < 0xF0) return kind % 32;
    TokenId value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | next();
    return value;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// The encoder as the rules read: one merge per pass, lowest rank, leftmost on
// ties, over symbols kept as lists of whole characters.
std::vector<TokenId> naive_encode(const std::map<std::string, TokenId>& vocab,
                                  const std::vector<std::pair<std::string, std::string>>& merges,
                                  const std::vector<std::string>& characters) {
  std::map<std::string, std::uint32_t> ranks;
  for (std::uint32_t rank = 0; rank < merges.size(); ++rank) {
    ranks[merges[rank].first + "\t" + merges[rank].second] = rank;
  }
  std::vector<std::vector<std::string>> symbols;
  for (const std::string& c : characters) symbols.push_back({c});
  auto joined = [](const std::vector<std::string>& symbol) {
    std::string text;
    for (const std::string& c : symbol) text += c;
    return text;
  };
  while (symbols.size() > 1) {
    std::size_t best = symbols.size();
    std::uint32_t best_rank = 0;
    for (std::size_t i = 0; i + 1 < symbols.size(); ++i) {
      auto it = ranks.find(joined(symbols[i]) + "\t" + joined(symbols[i + 1]));
      if (it != ranks.end() && (best == symbols.size() || it->second < best_rank)) {
        best = i;
        best_rank = it->second;
      }
    }
    if (best == symbols.size()) break;
    symbols[best].insert(symbols[best].end(), symbols[best + 1].begin(), symbols[best + 1].end());
    symbols.erase(symbols.begin() + static_cast<std::ptrdiff_t>(best) + 1);
  }
  const TokenId unk = vocab.contains("<unk>") ? vocab.at("<unk>") : 1;
  std::vector<TokenId> ids;
  for (const auto& symbol : symbols) {
    if (auto it = vocab.find(joined(symbol)); it != vocab.end()) {
      ids.push_back(it->second);
      continue;
    }
    for (const std::string& c : symbol) ids.push_back(vocab.contains(c) ? vocab.at(c) : unk);
  }
  return ids;
}

// Only meaningful when no two tokens share an id.
std::string naive_decode(const std::map<std::string, TokenId>& vocab, const std::vector<TokenId>& ids) {
  std::set<TokenId> specials;
  for (std::string_view special : kSpecials) {
    if (auto it = vocab.find(std::string(special)); it != vocab.end()) specials.insert(it->second);
  }
  std::string text;
  for (const TokenId id : ids) {
    if (specials.contains(id)) continue;
    for (const auto& [token, token_id] : vocab) {
      if (token_id == id) text += token;
    }
  }
  return text;
}

std::string without_markers(std::string text) {
  for (std::size_t at; (at = text.find("\xE2\x96\x81")) != std::string::npos;) text.erase(at, 3);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  const std::uint8_t header = in.next();
  const bool raw_text = (header & 0x80) != 0;

  std::map<std::string, TokenId> vocab;
  for (int n = in.next() % 24; n > 0; --n) {
    std::string token = in.token();
    vocab[token] = in.id();
  }
  std::vector<std::pair<std::string, std::string>> merges;
  for (int n = header % 24; n > 0; --n) {
    std::string left = in.token();
    merges.emplace_back(std::move(left), in.token());
  }
  std::vector<std::string> characters;
  std::string text;
  while (!in.done()) {
    const std::uint8_t byte = in.next();
    if (raw_text) {
      text.push_back(static_cast<char>(byte));
    } else {
      characters.emplace_back(kAlphabet[byte % kAlphabet.size()]);
      text += characters.back();
    }
  }

  const Model bpe = Model::build(morfex::bpe::TokenToId(vocab.begin(), vocab.end()),
                                     morfex::bpe::MergeList(merges.begin(), merges.end()));
  // Each id decodes to one of its tokens without markers, or to nothing when special.
  std::map<TokenId, std::set<std::string>> spellings;
  for (const auto& [token, id] : vocab) {
    std::string spelled;
    for (std::size_t start = 0;;) {
      const std::size_t marker = token.find("\xE2\x96\x81", start);
      spelled.append(token, start, marker - start);
      if (marker == std::string::npos) break;
      start = marker + 3;
    }
    spellings[id].insert(bpe.record.special_ids.contains(id) ? std::string() : spelled);
  }
  for (const auto& [id, candidates] : spellings) {
    if (candidates.count(morfex::bpe::decode(bpe, std::vector<TokenId>{id})) == 0) broken("an id decodes to none of its tokens");
  }

  const std::vector<TokenId> ids = morfex::bpe::encode(bpe, text);
  if (ids.size() > text.size()) broken("more ids than bytes of text");
  const std::string decoded = morfex::bpe::decode(bpe, ids);
  if (decoded.find("\xE2\x96\x81") != std::string::npos) broken("marker left in decoded text");
  if (raw_text) return 0;

  if (ids.size() > characters.size()) broken("more ids than characters");
  if (ids != naive_encode(vocab, merges, characters)) broken("encoder disagrees with the naive encoder");

  std::set<TokenId> distinct;
  for (const auto& [token, id] : vocab) distinct.insert(id);
  const bool ids_unique = distinct.size() == vocab.size();
  // Ids the vocabulary may lack, and the extremes, next to the encoder's own.
  std::vector<TokenId> probe = ids;
  probe.insert(probe.end(), {0u, 1u, 31u, 0xFFFFFFFFu, bpe.record.unk_id});
  const std::string probe_text = morfex::bpe::decode(bpe, probe);
  if (ids_unique && probe_text != without_markers(naive_decode(vocab, probe))) {
    broken("decoder disagrees with the naive decoder");
  }

  // Round trip: every character is a token, no id is shared and none is special.
  bool round_trip = ids_unique;
  for (const std::string& c : characters) round_trip = round_trip && vocab.contains(c);
  for (const TokenId id : ids) round_trip = round_trip && !bpe.record.special_ids.contains(id);
  if (round_trip && decoded != without_markers(text)) broken("decode(encode(text)) lost text");
  return 0;
}
