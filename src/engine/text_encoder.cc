#include "engine/text_encoder.h"

#include <algorithm>
#include <stdexcept>

#include "bpe/utf8.h"
#include "bpe/vocabulary.h"
#include "text/segmentation_table.h"

namespace morfex::engine {

TextModel::TextModel(const Model& model, const std::optional<std::array<TokenId, 256>>& byte_ids,
                     const std::optional<std::string_view>& unknown_token)
    : model_(model), unknown_id_(model.record.unk_id) {
  if (byte_ids) bytes_.emplace(*byte_ids);
  bool unk_shared = false;
  for (const auto& [token, id] : model.record.token_to_id) {
    unk_shared = unk_shared || (id == unknown_id_ && token != unknown_token);
    if (arena_.size() + token.size() >= UINT32_MAX) throw std::length_error("capacity overflow");
    spellings_.push_back({id, static_cast<std::uint32_t>(arena_.size()), static_cast<std::uint32_t>(token.size())});
    arena_.append(token);
  }
  // Keeps the last token of each id, as the decoder does.
  std::stable_sort(spellings_.begin(), spellings_.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
  const auto last = std::unique(spellings_.rbegin(), spellings_.rend(), [](const auto& a, const auto& b) {
    return a.id == b.id;
  });
  spellings_.erase(spellings_.begin(), last.base());
  if (unk_shared) {
    // The first gap in the sorted ids; fewer than 2^32 tokens leave one.
    unknown_id_ = 0;
    for (const Spelling& spelling : spellings_) {
      if (spelling.id != unknown_id_) break;
      ++unknown_id_;
    }
  }
}

std::string_view TextModel::token(TokenId id) const noexcept {
  const auto found = std::lower_bound(spellings_.begin(), spellings_.end(), id,
                                      [](const Spelling& s, TokenId wanted) { return s.id < wanted; });
  if (found == spellings_.end() || found->id != id) return {};
  return std::string_view(arena_).substr(found->offset, found->length);
}

namespace {

// Which characters of `source` each of its ids stands for, where the plain
// append will not do: for offsets, for byte fallback, or to leave markers out.
struct PieceWalk {
  const TextModel& model;
  const TextOptions& options;
  FlatBuffer<TokenId>& ids;
  FlatBuffer<std::int64_t>* spans;

  void emit(TokenId id, std::size_t begin, std::size_t end) {
    ids.push_back(id);
    if (spans != nullptr) {
      spans->push_back(static_cast<std::int64_t>(begin));
      spans->push_back(static_cast<std::int64_t>(end));
    }
  }

  void run(std::string_view source, std::span<const TokenId> piece_ids, const std::vector<std::size_t>& added,
           std::size_t first_char) {
    const TokenId unk = model.model().record.unk_id;
    const TokenId unknown_id = model.unknown_id();
    const text::ByteTokens* bytes = model.bytes();
    std::size_t pos = 0;
    std::size_t chars = first_char;
    std::size_t next_added = 0;
    for (const TokenId id : piece_ids) {
      if (pos >= source.size()) break;
      const std::size_t char_length = bpe::char_length(source, pos);
      const std::string_view character = source.substr(pos, char_length);
      // An unknown character is one id, which no token has.
      const std::string_view token = model.token(id);
      const bool unknown = id == unknown_id;
      std::size_t length = char_length;
      if (!unknown && !token.empty() && source.substr(pos).starts_with(token)) length = token.size();
      const std::size_t begin = chars;
      for (std::size_t q = pos; q < pos + length; q += bpe::char_length(source, q)) {
        if (next_added < added.size() && added[next_added] == q) {
          ++next_added;
        } else {
          ++chars;
        }
      }
      const bool lone_marker = length == bpe::kBoundaryMarker.size() && character == bpe::kBoundaryMarker;
      if (!(lone_marker && !options.markers)) {
        if (unknown && bytes != nullptr) {
          for (const char byte : character) emit(bytes->id_of(static_cast<std::uint8_t>(byte)), begin, chars);
        } else {
          emit(unknown ? unk : id, begin, chars);
        }
      }
      pos += length;
    }
  }
};

}  // namespace

MemoKey memo_key(const TextModel& model, const TextOptions& options) noexcept {
  const bool remembers = options.segmenter != nullptr && options.segmenter_is_pure;
  return {model.serial(), remembers ? options.segmenter->serial() : 0, options.markers};
}

void encode_text(const TextModel& model, std::string_view text, const TextOptions& options, TextScratch& scratch,
                 PieceEncoder& pieces, FlatBuffer<TokenId>& ids, FlatBuffer<std::int64_t>* spans) {
  const MemoKey key = memo_key(model, options);
  if (key.segmenter != 0 && key != scratch.memo_key) {
    // Another segmenter's or model's answers would be wrong here.
    scratch.memo.reset();
    scratch.segmented_words = 0;
    scratch.memo_key = key;
  }
  scratch.pieces.clear();
  text::split_pieces(text, scratch.pieces);
  PieceWalk walk{model, options, ids, spans};
  const TokenId unknown_id = model.unknown_id();
  // Unknown characters need the walk for their bytes, or to get unk_id back.
  const bool rewrites_unknown = model.bytes() != nullptr || unknown_id != model.model().record.unk_id;
  for (const text::Piece& piece : scratch.pieces) {
    std::string_view source = text.substr(piece.begin, piece.end - piece.begin);
    scratch.added.clear();
    // A segmented word's ids are remembered by its raw text for the rest of
    // the call: segmenting costs far more than encoding, and words recur.
    const bool memo = piece.kind == text::PieceKind::kWord && key.segmenter != 0 && spans == nullptr;
    const std::string_view raw = source;
    std::uint64_t hash = 0;
    if (memo && scratch.memo) {
      hash = word_hash(raw);
      scratch.ids.truncate(0);
      if (scratch.memo->find(raw, hash, scratch.ids)) {
        ids.append(scratch.ids.data(), scratch.ids.size());
        continue;
      }
    }
    const std::size_t first_id = ids.size();
    if (piece.kind == text::PieceKind::kWord && options.segmenter != nullptr) {
      const bool lead = piece.leading_space(text);
      scratch.segmented.clear();
      if (lead) scratch.segmented.push_back(' ');
      text::segment_between_markers(*options.segmenter, source.substr(lead ? 1 : 0), scratch.segmented);
      if (!text::inserted_markers(source, scratch.segmented, scratch.added)) {
        throw std::logic_error("the segmenter changed a word, not only put markers in it");
      }
      source = scratch.segmented;
    }
    scratch.ids.truncate(0);
    pieces.encode(source, scratch.ids);
    const std::span<const TokenId> piece_ids(scratch.ids.data(), scratch.ids.size());
    const bool plain =
        spans == nullptr &&
        (options.markers || piece.kind != text::PieceKind::kWord ||
         source.find(bpe::kBoundaryMarker) == std::string_view::npos) &&
        (!rewrites_unknown || std::find(piece_ids.begin(), piece_ids.end(), unknown_id) == piece_ids.end());
    if (plain) {
      ids.append(piece_ids.data(), piece_ids.size());
    } else {
      walk.run(source, piece_ids, scratch.added, piece.char_begin);
    }
    if (memo) {
      // Made only once a call has segmented enough words to repay it.
      if (!scratch.memo && ++scratch.segmented_words == kMemoAfterWords) {
        scratch.memo = std::make_unique<WordCache>(kMemoWords, kMaxMemoWords);
      }
      if (scratch.memo) {
        if (hash == 0) hash = word_hash(raw);
        scratch.memo->insert(raw, hash, std::span<const TokenId>(ids.data() + first_id, ids.size() - first_id));
      }
    }
  }
}

void decode_text(const TextModel& model, std::span<const TokenId> ids, TextBuffer& text) {
  const text::ByteTokens* bytes = model.bytes();
  if (bytes == nullptr) {
    decode_word(model.model(), ids, text);
    return;
  }
  std::string run;
  std::string utf8;
  for (std::size_t i = 0; i < ids.size();) {
    std::size_t j = i;
    while (j < ids.size() && bytes->byte_of(ids[j]) < 0) ++j;
    decode_word(model.model(), ids.subspan(i, j - i), text);
    run.clear();
    for (; j < ids.size(); ++j) {
      const int byte = bytes->byte_of(ids[j]);
      if (byte < 0) break;
      run.push_back(static_cast<char>(byte));
    }
    // A marker spelled in bytes goes too, as every other marker does.
    utf8.clear();
    text::append_utf8_replacing(run, utf8);
    std::size_t start = 0;
    for (std::size_t at = utf8.find(bpe::kBoundaryMarker); at != std::string::npos;
         at = utf8.find(bpe::kBoundaryMarker, start)) {
      text.append(utf8.data() + start, at - start);
      start = at + bpe::kBoundaryMarker.size();
    }
    text.append(utf8.data() + start, utf8.size() - start);
    i = j;
  }
}

}  // namespace morfex::engine
