// libFuzzer harness for the tokenizer core. The input is read as a recipe:
// a vocabulary, a merge list and a text, all drawn from a small alphabet so
// that merges and vocabulary hits are common. The core's encoder is checked
// against the naive one of the C++ tests; decode must never fail.
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "../cpp/naive_bpe.h"
#include "../cpp/test_model.h"
#include "bpe/decoder.h"
#include "bpe/encoder.h"
#include "bpe/model.h"
#include "fuzz_input.h"

namespace {

using morfex::bpe::Model;
using morfex::bpe::TokenId;
using morfex::fuzz::broken;

// One to four UTF-8 bytes each; TAB and NUL test the unescaped merge key,
// '<', 's', '/' and '>' let merges build the special tokens.
constexpr std::array<std::string_view, 12> kAlphabet = {
    "a", "b", "c", "\t", std::string_view("\0", 1), "\xE2\x96\x81", "\xC3\xA9", "\xE2\x82\xAC",
    "\xF0\x9F\x98\x80", "<", "s", ">"};
constexpr std::array<std::string_view, 4> kSpecials = {"<pad>", "<unk>", "<s>", "</s>"};

std::string read_token(morfex::fuzz::Reader& in) {
  const std::uint8_t length = in.next();
  if (length >= 0xFC) return std::string(kSpecials[length - 0xFC]);
  return in.pieces(kAlphabet, length % 4);
}

// Mostly small ids, so that tokens share ids; sometimes any 32-bit value.
TokenId read_id(morfex::fuzz::Reader& in) {
  const std::uint8_t kind = in.next();
  if (kind < 0xF0) return kind % 32;
  TokenId value = 0;
  for (int i = 0; i < 4; ++i) value = (value << 8) | in.next();
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  morfex::fuzz::Reader in(data, size);
  const std::uint8_t header = in.next();
  const bool raw_text = (header & 0x80) != 0;

  std::map<std::string, TokenId> vocab;
  for (int n = in.next() % 24; n > 0; --n) {
    std::string token = read_token(in);
    vocab[token] = read_id(in);
  }
  std::vector<std::pair<std::string, std::string>> merges;
  for (int n = header % 24; n > 0; --n) {
    std::string left = read_token(in);
    merges.emplace_back(std::move(left), read_token(in));
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

  const Model bpe = morfex::bpe::testing_support::model_of({vocab.begin(), vocab.end()}, merges);
  // Each id decodes to one of its tokens without markers, or to nothing when special.
  std::map<TokenId, std::set<std::string>> spellings;
  for (const auto& [token, id] : vocab) {
    spellings[id].insert(bpe.record.special_ids.contains(id) ? std::string() : morfex::bpe::naive::without_markers(token));
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
  if (ids != morfex::bpe::naive::encode(vocab, merges, text)) broken("encoder disagrees with the naive encoder");

  std::set<TokenId> distinct;
  for (const auto& [token, id] : vocab) distinct.insert(id);
  const bool ids_unique = distinct.size() == vocab.size();
  // Ids the vocabulary may lack, and the extremes, next to the encoder's own.
  std::vector<TokenId> probe = ids;
  probe.insert(probe.end(), {0u, 1u, 31u, 0xFFFFFFFFu, bpe.record.unk_id});
  const std::string probe_text = morfex::bpe::decode(bpe, probe);
  const std::vector<std::pair<std::string, TokenId>> tokens(vocab.begin(), vocab.end());
  if (ids_unique && probe_text != morfex::bpe::naive::decode(tokens, morfex::bpe::naive::special_ids(vocab), probe)) {
    broken("decoder disagrees with the naive decoder");
  }

  // Round trip: every character is a token, no id is shared and none is special.
  bool round_trip = ids_unique;
  for (const std::string& c : characters) round_trip = round_trip && vocab.contains(c);
  for (const TokenId id : ids) round_trip = round_trip && !bpe.record.special_ids.contains(id);
  if (round_trip && decoded != morfex::bpe::naive::without_markers(text)) broken("decode(encode(text)) lost text");
  return 0;
}
