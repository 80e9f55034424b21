// libFuzzer harness for running text. The input is read as a recipe: a
// thread count, a cache size, switches (byte fallback, an <unk> token, a
// segmenter, markers kept), a vocabulary, a merge list and a list of texts,
// valid UTF-8 or not. Every text must encode as a plain reference does it
// (split into pieces, each piece's final symbols mapped to ids, the bytes of
// unknown characters with byte fallback), at any thread count and cache
// size, with the right character spans, and decode back where it can.
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../cpp/naive_bpe.h"
#include "bpe/utf8.h"
#include "engine/batch.h"
#include "engine/text_encoder.h"
#include "fuzz_input.h"
#include "text/byte_tokens.h"
#include "text/char_class.h"

namespace {

namespace bpe = morfex::bpe;
namespace engine = morfex::engine;
namespace naive = morfex::bpe::naive;
namespace text = morfex::text;
using bpe::TokenId;
using morfex::fuzz::broken;

constexpr std::string_view kMarker = bpe::kBoundaryMarker;

// Whole characters of every class: letters, a combining mark, numbers,
// punctuation, a symbol, spaces and the marker.
constexpr std::array<std::string_view, 11> kTokenAlphabet = {
    "a", "b", "k", " ", "1", ",", "\n", kMarker, "\xC3\xA9", "\xCC\x81", "\xF0\x9F\x98\x80"};
// The same, and characters no token holds, a stray byte and a cut-off character.
constexpr std::array<std::string_view, 18> kTextAlphabet = {
    "a", "b", "k", "c", " ", " ", "\n", "\t", "1", "2", ",", kMarker, "\xC3\xA9", "\xCC\x81",
    "\xF0\x9F\x98\x80", "\xE2\x82\xAC", "\xFF", "\xE2\x96"};

// A character of the text and whether the segmenter put it in.
using SourceChar = std::pair<std::string, bool>;

// The segmentation rule: a marker after every "a" that is followed by a
// character other than a marker (never beside one of the word's own markers,
// whose place would otherwise be ambiguous).
std::vector<SourceChar> segmented_chars(std::string_view word) {
  const std::vector<std::string> chars = naive::characters(word);
  std::vector<SourceChar> out;
  for (std::size_t i = 0; i < chars.size(); ++i) {
    out.emplace_back(chars[i], false);
    if (chars[i] == "a" && i + 1 < chars.size() && chars[i + 1] != kMarker) out.emplace_back(kMarker, true);
  }
  return out;
}

class MarkAfterA final : public text::WordSegmenter {
 public:
  void segment(std::string_view word, std::string& out) const override {
    for (const auto& [ch, added] : segmented_chars(word)) out += ch;
  }
};

text::CharClass class_of(const std::string& ch) {
  const std::uint32_t scalar = bpe::scalar_value(ch.data(), ch.size());
  return scalar == bpe::kNotScalar ? text::CharClass::kOther : text::char_class(scalar);
}

struct RefPiece {
  std::size_t begin;  // in characters
  std::size_t end;
  text::CharClass cls;
};

// The convention, plainly: runs of one class; a run of whitespace ending in
// U+0020 before something else gives that space to the next piece.
std::vector<RefPiece> reference_pieces(const std::vector<std::string>& chars) {
  std::vector<RefPiece> pieces;
  const std::size_t n = chars.size();
  for (std::size_t i = 0; i < n;) {
    std::size_t start = i;
    if (class_of(chars[i]) == text::CharClass::kSpace) {
      while (i < n && class_of(chars[i]) == text::CharClass::kSpace) ++i;
      if (i == n || chars[i - 1] != " ") {
        pieces.push_back({start, i, text::CharClass::kSpace});
        continue;
      }
      if (i - 1 > start) pieces.push_back({start, i - 1, text::CharClass::kSpace});
      start = i - 1;
    }
    const text::CharClass cls = class_of(chars[i]);
    while (i < n && class_of(chars[i]) == cls) ++i;
    pieces.push_back({start, i, cls});
  }
  return pieces;
}

struct Recipe {
  naive::Vocab vocab;
  bpe::MergeList merges;
  std::optional<std::array<TokenId, 256>> byte_ids;
  TokenId unk_id = bpe::kDefaultUnkId;
  bool segment = false;
  bool markers = true;
};

struct Expected {
  std::vector<TokenId> ids;
  std::vector<std::int64_t> spans;
};

Expected reference_encode(const Recipe& recipe, std::string_view source_text) {
  Expected out;
  const auto emit = [&](TokenId id, std::size_t begin, std::size_t end) {
    out.ids.push_back(id);
    out.spans.push_back(static_cast<std::int64_t>(begin));
    out.spans.push_back(static_cast<std::int64_t>(end));
  };
  const std::vector<std::string> chars = naive::characters(source_text);
  for (const RefPiece& piece : reference_pieces(chars)) {
    std::vector<SourceChar> source;
    std::size_t first = piece.begin;
    if (piece.cls == text::CharClass::kWord && recipe.segment) {
      if (chars[first] == " ") source.emplace_back(chars[first++], false);
      std::string word;
      for (std::size_t i = first; i < piece.end; ++i) word += chars[i];
      for (SourceChar& c : segmented_chars(word)) source.push_back(std::move(c));
    } else {
      for (std::size_t i = first; i < piece.end; ++i) source.emplace_back(chars[i], false);
    }
    std::string joined;
    for (const auto& [ch, added] : source) joined += ch;
    std::size_t at = 0;             // in source
    std::size_t char_pos = piece.begin;  // in the text
    for (const std::string& symbol : naive::symbols(recipe.merges, joined)) {
      const std::size_t count = naive::characters(symbol).size();
      const std::size_t begin = char_pos;
      for (std::size_t k = at; k < at + count; ++k) char_pos += source[k].second ? 0 : 1;
      if (const auto found = recipe.vocab.find(symbol); found != recipe.vocab.end()) {
        if (recipe.markers || symbol != kMarker) emit(found->second, begin, char_pos);
        at += count;
        continue;
      }
      std::size_t pos = begin;
      for (std::size_t k = at; k < at + count; ++k) {
        const std::string& ch = source[k].first;
        const std::size_t start = pos;
        pos += source[k].second ? 0 : 1;
        if (!recipe.markers && ch == kMarker) continue;
        if (const auto found = recipe.vocab.find(ch); found != recipe.vocab.end()) {
          emit(found->second, start, pos);
        } else if (recipe.byte_ids) {
          for (const char byte : ch) emit((*recipe.byte_ids)[static_cast<std::uint8_t>(byte)], start, pos);
        } else {
          emit(recipe.unk_id, start, pos);
        }
      }
      at += count;
    }
  }
  return out;
}

// Whether decoding gives `source_text` back (without markers): it is UTF-8
// and every character is a token or spelled by byte tokens.
bool round_trips(const Recipe& recipe, std::string_view source_text) {
  for (const std::string& ch : naive::characters(source_text)) {
    if (bpe::scalar_value(ch.data(), ch.size()) == bpe::kNotScalar) return false;
    if (!recipe.byte_ids && !recipe.vocab.contains(ch)) return false;
  }
  return true;
}

// `wanted`, or the next id after it that no token has.
TokenId unused_id(std::map<TokenId, bool>& taken, TokenId wanted) {
  while (taken.contains(wanted)) ++wanted;
  taken[wanted] = true;
  return wanted;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  morfex::fuzz::Reader in(data, size);
  const std::size_t threads = 1 + in.next() % 4;
  const std::size_t cache_size = in.next() % 9;
  const std::uint8_t switches = in.next();
  Recipe recipe;
  recipe.segment = (switches & 1) != 0;
  recipe.markers = (switches & 2) == 0;

  // Ids are distinct, as a Tokenizer requires; without an <unk> token a
  // token may hold the id the unknown characters get.
  std::map<TokenId, bool> taken;
  for (int n = in.next() % 24; n > 0; --n) {
    std::string token = in.pieces(kTokenAlphabet, 1 + in.next() % 3);
    if (!recipe.vocab.contains(token)) recipe.vocab[token] = unused_id(taken, in.next() % 40);
  }
  if ((switches & 4) != 0) recipe.unk_id = recipe.vocab["<unk>"] = unused_id(taken, in.next() % 40);
  if ((switches & 8) != 0) {
    std::array<TokenId, 256> ids{};
    for (int b = 0; b < 256; ++b) {
      ids[b] = 1000 + static_cast<TokenId>(b);
      const std::array<char, 6> spelling = text::byte_token(static_cast<std::uint8_t>(b));
      recipe.vocab[std::string(spelling.data(), spelling.size())] = ids[b];
    }
    recipe.byte_ids = ids;
  }
  for (int n = in.next() % 24; n > 0; --n) {
    std::string left = in.pieces(kTokenAlphabet, 1 + in.next() % 2);
    recipe.merges.emplace_back(std::move(left), in.pieces(kTokenAlphabet, 1 + in.next() % 2));
  }

  bpe::TokenToId tokens;
  for (const auto& [token, id] : recipe.vocab) tokens.insert_or_assign(token, id, bpe::TokenToId::hash_of(token));
  bpe::MergeRanks ranks;
  {
    bpe::DeferredInserts<bpe::Rank> inserts(ranks);
    std::string key;
    bpe::Rank rank = 0;
    for (const auto& [left, right] : recipe.merges) bpe::add_merge(inserts, left, right, rank++, key);
    inserts.flush();
  }
  engine::Engine eng(engine::build_model(std::move(tokens), std::move(ranks)), cache_size);
  const engine::TextModel model(eng.model(), recipe.byte_ids);
  const MarkAfterA segmenter;
  const engine::TextOptions options{recipe.segment ? &segmenter : nullptr, recipe.markers};

  std::vector<std::string> distinct;
  while (!in.done() && distinct.size() < 32) {
    const bool raw = (in.next() & 0xE0) == 0xE0;  // one text in eight is any bytes
    std::string one;
    for (std::size_t n = in.next() % 48; n > 0; --n) {
      one += raw ? std::string(1, static_cast<char>(in.next())) : std::string(kTextAlphabet[in.next() % kTextAlphabet.size()]);
    }
    distinct.push_back(std::move(one));
  }
  if (distinct.empty()) distinct.emplace_back();

  // Spans come from a session of one thread: one text after another.
  std::vector<engine::WordRef> refs;
  for (const std::string& one : distinct) refs.push_back(engine::WordRef::utf8(one));
  std::vector<Expected> expected;
  std::vector<TokenId> all_ids;
  std::vector<std::int64_t> all_spans;
  for (const std::string& one : distinct) {
    expected.push_back(reference_encode(recipe, one));
    all_ids.insert(all_ids.end(), expected.back().ids.begin(), expected.back().ids.end());
    all_spans.insert(all_spans.end(), expected.back().spans.begin(), expected.back().spans.end());
  }
  {
    engine::Session single(eng, 1, nullptr);
    engine::EncodedWords out;
    engine::FlatBuffer<std::int64_t> spans;
    if (single.encode_texts(refs, model, options, out, &spans) != engine::kNoWord) broken("UTF-8 text refused");
    if (std::vector<TokenId>(out.ids.begin(), out.ids.end()) != all_ids) broken("ids differ from the reference");
    if (std::vector<std::int64_t>(spans.begin(), spans.end()) != all_spans) broken("spans differ from the reference");
  }

  // Texts repeat, so that cached pieces come back; more threads need enough
  // texts to share out.
  const std::size_t count = threads == 1 ? 4 * distinct.size() : engine::kParallelWords + (size * 37) % 500;
  refs.clear();
  std::vector<std::size_t> which;
  for (std::size_t i = 0; i < count; ++i) {
    which.push_back((i * 7 + i / 13) % distinct.size());
    refs.push_back(engine::WordRef::utf8(distinct[which.back()]));
  }
  engine::Session session(eng, threads, nullptr);
  engine::EncodedWords out;
  if (session.encode_texts(refs, model, options, out) != engine::kNoWord) broken("UTF-8 text refused");
  if (out.ends.size() != count) broken("one end per text");
  std::vector<std::int64_t> offsets = {0};
  for (std::size_t i = 0; i < count; ++i) {
    const std::vector<TokenId>& ids = expected[which[i]].ids;
    const auto start = static_cast<std::size_t>(offsets.back());
    if (static_cast<std::size_t>(out.ends[i]) != start + ids.size()) broken("text lengths differ across threads");
    for (std::size_t k = 0; k < ids.size(); ++k) {
      if (out.ids[start + k] != ids[k]) broken("ids differ across threads");
    }
    offsets.push_back(out.ends[i]);
  }

  engine::DecodedWords decoded;
  session.decode_texts(model, std::span<const TokenId>(out.ids.data(), out.ids.size()), offsets, decoded);
  std::vector<std::string> alone;
  for (std::size_t d = 0; d < distinct.size(); ++d) {
    bpe::TextBuffer buffer;
    engine::decode_text(model, expected[d].ids, buffer);
    alone.emplace_back(buffer.data(), buffer.size());
    if (alone.back().find(kMarker) != std::string::npos) broken("marker left in decoded text");
    if (round_trips(recipe, distinct[d]) && alone.back() != naive::without_markers(distinct[d])) {
      broken("decode_text(encode_text(text)) lost text");
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (decoded.texts[i] != alone[which[i]]) broken("decoded text differs across threads");
  }
  return 0;
}
