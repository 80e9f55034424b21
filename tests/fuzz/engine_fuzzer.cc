// libFuzzer harness for the batch engine. The input is read as a recipe: a
// thread count, a cache size, a vocabulary, a merge list and a list of words.
// Batches, at that thread count and cache size, must equal the core's
// per-word calls word for word, for encoding, decoding and chunked lines,
// and with dropout, the per-word calls on each word's own stream (the first
// words also the plain rule of the C++ tests).
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../cpp/naive_bpe.h"
#include "engine/batch.h"
#include "engine/chunk_text.h"
#include "fuzz_input.h"

namespace {

using morfex::engine::TokenId;
using morfex::fuzz::broken;

// Pieces of one to four bytes; TAB and the marker test merge keys and boundaries.
constexpr std::array<std::string_view, 10> kAlphabet = {
    "a", "b", "c", "\t", "\xE2\x96\x81", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "<", ">"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace engine = morfex::engine;
  morfex::fuzz::Reader in(data, size);
  const std::size_t threads = 1 + in.next() % 4;
  const std::size_t cache_size = in.next() % 9;

  std::vector<std::pair<std::string, TokenId>> vocab;
  for (int n = in.next() % 24; n > 0; --n) {
    std::string token = in.pieces(kAlphabet, 1 + in.next() % 3);
    vocab.emplace_back(std::move(token), in.next() % 40);
  }
  morfex::bpe::TokenToId tokens;
  for (const auto& [token, id] : vocab) tokens.insert_or_assign(token, id, morfex::bpe::TokenToId::hash_of(token));
  morfex::bpe::MergeRanks ranks;
  morfex::bpe::MergeList merges;
  {
    morfex::bpe::DeferredInserts<morfex::bpe::Rank> inserts(ranks);
    std::string key;
    morfex::bpe::Rank rank = 0;
    for (int n = in.next() % 24; n > 0; --n) {
      const std::string left = in.pieces(kAlphabet, 1 + in.next() % 2);
      merges.emplace_back(left, in.pieces(kAlphabet, 1 + in.next() % 2));
      morfex::bpe::add_merge(inserts, left, merges.back().second, rank++, key);
    }
    inserts.flush();
  }
  engine::Engine eng(engine::build_model(std::move(tokens), std::move(ranks)), cache_size);

  // Words repeat, so that cached ones come back; a few are long.
  std::vector<std::string> distinct;
  while (!in.done() && distinct.size() < 64) distinct.push_back(in.pieces(kAlphabet, in.next() % 40));
  if (distinct.empty()) distinct.emplace_back();
  std::vector<std::string> words;
  const std::size_t count = 5000 + (size * 37) % 5000;
  for (std::size_t i = 0; i < count; ++i) words.push_back(distinct[(i * 7 + i / 13) % distinct.size()]);

  std::vector<engine::WordRef> refs;
  for (const std::string& word : words) refs.push_back(engine::WordRef::utf8(word));
  engine::Session session(eng, threads, nullptr);
  engine::EncodedWords out;
  if (session.encode(refs, out) != engine::kNoWord) broken("valid UTF-8 reported as unencodable");
  if (out.ends.size() != words.size()) broken("one end per word");
  std::vector<std::int64_t> offsets = {0};
  std::size_t at = 0;
  for (std::size_t i = 0; i < words.size(); ++i) {
    morfex::bpe::IdBuffer ids;
    engine::encode_word(eng.model(), words[i], ids);
    if (static_cast<std::size_t>(out.ends[i]) != at + ids.size()) broken("word lengths differ from per-word calls");
    for (std::size_t k = 0; k < ids.size(); ++k) {
      if (out.ids[at + k] != ids.data()[k]) broken("ids differ from per-word calls");
    }
    at += ids.size();
    offsets.push_back(static_cast<std::int64_t>(at));
  }

  engine::DecodedWords decoded;
  session.decode(std::span<const TokenId>(out.ids.data(), out.ids.size()), offsets, decoded);
  for (std::size_t i = 0; i < words.size(); ++i) {
    morfex::bpe::TextBuffer text;
    engine::decode_word(eng.model(),
                        std::span<const TokenId>(out.ids.data() + offsets[i], offsets[i + 1] - offsets[i]), text);
    if (decoded.texts[i] != std::string_view(text.data(), text.size())) broken("text differs from per-word calls");
  }

  // The same words as lines of a chunk, three words a line.
  std::string chunk;
  for (std::size_t i = 0; i < words.size(); ++i) chunk += words[i] + (i % 3 == 2 ? "\n" : " ");
  engine::SplitLines split;
  engine::split_lines(chunk, split);
  engine::EncodedWords lines;
  session.encode(split.words, lines);
  std::vector<TokenId> expected;
  for (const std::string& word : words) {
    // TAB separates words in a chunk, so a word with a TAB is several words there.
    std::size_t start = 0;
    for (std::size_t i = 0; i <= word.size(); ++i) {
      if (i < word.size() && word[i] != '\t') continue;
      if (i > start) {
        morfex::bpe::IdBuffer ids;
        engine::encode_word(eng.model(), std::string_view(word).substr(start, i - start), ids);
        expected.insert(expected.end(), ids.begin(), ids.end());
      }
      start = i + 1;
    }
  }
  if (std::vector<TokenId>(lines.ids.begin(), lines.ids.end()) != expected) broken("chunk ids differ");

  // Dropout, the batch cut into two blocks; the settings come from the
  // input's size, as every byte of it is spoken for.
  const engine::DropoutSettings dropout{0.25 * static_cast<double>(1 + size % 4), size * 0x9E3779B97F4A7C15u, 0};
  const std::size_t cut = refs.size() / 3;
  engine::EncodedWords dropped;
  session.encode(std::span(refs).first(cut), dropped, dropout);
  session.encode(std::span(refs).subspan(cut), dropped, {dropout.rate, dropout.seed, cut});
  if (dropped.ends.size() != words.size()) broken("one end per word with dropout");
  morfex::bpe::naive::Vocab naive_vocab;
  for (const auto& [token, id] : vocab) naive_vocab[token] = id;
  at = 0;
  for (std::size_t i = 0; i < words.size(); ++i) {
    morfex::bpe::IdBuffer ids;
    morfex::bpe::RandomStream stream = dropout.stream(i);
    engine::encode_word_dropout(eng.model(), words[i], dropout.rate, stream, ids, eng.model().record.unk_id);
    const std::vector<TokenId> got(dropped.ids.begin() + static_cast<std::ptrdiff_t>(at),
                                   dropped.ids.begin() + dropped.ends[i]);
    if (got != std::vector<TokenId>(ids.begin(), ids.end())) broken("dropout ids differ from per-word calls");
    if (i < 64) {
      morfex::bpe::RandomStream plain = dropout.stream(i);
      const auto symbols = morfex::bpe::naive::dropout_symbols(
          merges, words[i], [&] { return plain.uniform() < dropout.rate; });
      if (got != morfex::bpe::naive::ids_of(naive_vocab, symbols)) broken("dropout ids differ from the plain rule");
    }
    at = static_cast<std::size_t>(dropped.ends[i]);
  }
  return 0;
}
