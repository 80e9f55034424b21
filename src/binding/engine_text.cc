#include "binding/engine_text.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "binding/arguments.h"
#include "binding/batch_inputs.h"
#include "binding/buffer.h"
#include "binding/conversions.h"
#include "binding/engine_object.h"
#include "binding/errors.h"
#include "binding/guard.h"
#include "binding/owned_buffer.h"
#include "binding/segmenter_type.h"
#include "binding/utf8_text.h"
#include "engine/chunk_text.h"
#include "text/char_class.h"
#include "text/pieces.h"
#include "text/segmentation_table.h"

namespace morfex::py {
namespace {

constexpr const char* kClassName = "Engine";
constexpr const char* kTextParameters[] = {"text", "markers", "offsets", "segmenter"};
constexpr const char* kTextsParameters[] = {"texts", "threads", "markers", "segmenter", "dropout", "seed"};
constexpr const char* kBatchParameters[] = {"batch", "threads"};
constexpr const char* kFlatParameters[] = {"ids", "offsets", "threads"};
// Bytes of a chunk checked for UTF-8 and cut into lines between two looks at pending signals.
constexpr std::size_t kSliceBytes = std::size_t{1} << 22;
constexpr const char* kChunkParameters[] = {"data", "threads", "markers", "segmenter"};
constexpr const char* kSplitParameters[] = {"text"};
constexpr FunctionDescription kEncodeText{kClassName, "encode_text", kTextParameters, 4};
constexpr FunctionDescription kEncodeTextLists{kClassName, "encode_text_lists", kTextsParameters, 4};
constexpr FunctionDescription kEncodeTextFlat{kClassName, "encode_text_flat", kTextsParameters, 4};
constexpr FunctionDescription kEncodeTextChunk{kClassName, "encode_text_chunk", kChunkParameters, 4};
constexpr FunctionDescription kDecodeTextLists{kClassName, "decode_text_lists", kBatchParameters, 2};
constexpr FunctionDescription kDecodeTextFlat{kClassName, "decode_text_flat", kFlatParameters, 3};
constexpr FunctionDescription kSplitText{nullptr, "split_text", kSplitParameters, 1};

// The segmenter argument: None, a native Segmenter (run on the workers), or
// a callable that each new word is given to under the lock.
struct SegmenterArg {
  PyObject* callable = nullptr;
  const text::WordSegmenter* native = nullptr;
};

SegmenterArg to_segmenter(PyObject* obj) {
  if (obj == Py_None) return {};
  if (const segment::Model* model = segmenter_model(obj)) return {nullptr, model};
  if (!PyCallable_Check(obj)) {
    throw PyError::lazy(PyExc_TypeError, std::string("argument 'segmenter' must be callable or None, not '") +
                                             Py_TYPE(obj)->tp_name + "'");
  }
  return {obj, nullptr};
}

// An error of item `index`, or of the one text of encode_text (index kNoWord).
PyError at_item(std::size_t index, PyError error) {
  return index == engine::kNoWord ? std::move(error) : item_error(index, std::move(error));
}

// What the Python segmenter makes of `word`: the word with markers put in.
std::string segmented_by(PyObject* segmenter, std::string_view word, std::size_t index,
                         std::vector<std::size_t>& added) {
  Ref word_str = Ref::steal(text_to_str(word));
  Ref result = Ref::steal(PyObject_CallOneArg(segmenter, word_str.get()));
  if (!result) throw at_item(index, fetch());
  if (!PyUnicode_Check(result.get())) {
    throw at_item(index, PyError::lazy(PyExc_TypeError, std::string("segmenter must return str, not '") +
                                                            Py_TYPE(result.get())->tp_name + "'"));
  }
  Utf8Text utf8;
  std::string_view segmented;
  try {
    segmented = utf8.read(result.get());
  } catch (PyError& error) {
    throw at_item(index, std::move(error));
  }
  if (!text::inserted_markers(word, segmented, added)) {
    throw at_item(index, PyError::lazy(PyExc_ValueError, "segmenter turned " + str_text(word_str.get()) + " into " +
                                                             str_text(result.get()) +
                                                             ": it may only put \xE2\x96\x81 between morphemes"));
  }
  return std::string(segmented);
}

// Calls the segmenter on each stretch of a word piece of `text` (between the
// markers it may hold) that the table lacks, and keeps its answer, which must
// be the stretch with markers put in.
void segment_words(PyObject* segmenter, std::string_view text, std::size_t index, text::SegmentationTable& table,
                   std::vector<text::Piece>& pieces, std::vector<std::size_t>& added) {
  pieces.clear();
  text::split_pieces(text, pieces);
  for (const text::Piece& piece : pieces) {
    if (piece.kind != text::PieceKind::kWord) continue;
    const std::size_t lead = piece.leading_space(text) ? 1 : 0;
    text::for_each_unmarked(text.substr(piece.begin + lead, piece.end - piece.begin - lead), [&](std::string_view word) {
      if (!table.contains(word)) table.add(word, segmented_by(segmenter, word, index, added));
    });
  }
}

// Encodes the texts block by block as encode_blocks does for words; a
// Python segmenter is called under the lock for each new word of a block
// first. `on_block(out)` runs under the lock after each block.
template <class OnBlock>
void encode_text_blocks(EngineObject* self, PyObject* sequence, std::size_t threads, bool markers,
                        SegmenterArg segmenter, bool indexed, engine::DropoutSettings dropout,
                        engine::EncodedWords& out, engine::FlatBuffer<std::int64_t>* spans, OnBlock&& on_block) {
  PollingSession polling(*self->engine, threads);
  text::SegmentationTable table;
  const text::WordSegmenter* words = segmenter.native;
  if (segmenter.callable != nullptr) words = &table;
  // A callable's answers are taken afresh for each block, so only a native segmenter's are remembered.
  const engine::TextOptions options{words, markers, segmenter.native != nullptr};
  std::vector<engine::WordRef> block;
  std::vector<char> scratch;
  std::vector<text::Piece> pieces;
  std::vector<std::size_t> added;
  for_each_block(sequence, [&](std::span<const Ref> items, std::size_t first) {
    table.clear();
    if (segmenter.callable == nullptr) {
      words_of_block(items, first, block);
    } else {
      // Text by text, so that the first bad text in batch order is reported,
      // whether its fault is its type, its UTF-8 form or its segmenter's answer.
      block.clear();
      for (std::size_t k = 0; k < items.size(); ++k) {
        if (k % kSignalItems == kSignalItems - 1) check_signals();
        block.push_back(word_of(items[k].get(), first + k));
        std::string_view text;
        if (!engine::utf8_of(block[k], scratch, text)) raise_unencodable(items[k].get(), first + k);
        segment_words(segmenter.callable, text, indexed ? first + k : engine::kNoWord, table, pieces, added);
      }
    }
    dropout.first = first;
    const std::size_t failed = polling.unlocked([&](engine::Session& session) {
      return session.encode_texts(block, *self->text, options, out, spans, dropout);
    });
    if (failed != engine::kNoWord) raise_unencodable(items[failed].get(), first + failed);
    on_block(out);
  });
}

// encode_text_blocks for lines read from a buffer: they are UTF-8 already,
// and a Python segmenter sees the new words of each block before it is encoded.
void encode_line_blocks(EngineObject* self, PollingSession& polling, std::span<const engine::WordRef> lines,
                        bool markers, SegmenterArg segmenter, engine::EncodedWords& out) {
  text::SegmentationTable table;
  const text::WordSegmenter* words = segmenter.callable != nullptr ? &table : segmenter.native;
  const engine::TextOptions options{words, markers, segmenter.native != nullptr};
  std::vector<text::Piece> pieces;
  std::vector<std::size_t> added;
  for (std::size_t first = 0; first < lines.size(); first += kBlockItems) {
    check_signals();
    const std::span<const engine::WordRef> block = lines.subspan(first, std::min(kBlockItems, lines.size() - first));
    if (segmenter.callable != nullptr) {
      table.clear();
      for (std::size_t k = 0; k < block.size(); ++k) {
        if (k % kSignalItems == kSignalItems - 1) check_signals();
        const std::string_view line(static_cast<const char*>(block[k].data), block[k].length);
        segment_words(segmenter.callable, line, first + k, table, pieces, added);
      }
    }
    // UTF-8 lines hold no lone surrogate, the one thing encode_texts reports.
    polling.unlocked([&](engine::Session& session) { return session.encode_texts(block, *self->text, options, out); });
  }
}

Ref spans_list(const engine::FlatBuffer<std::int64_t>& spans) {
  const std::size_t count = spans.size() / 2;
  Ref list = Ref::steal(require_created(PyList_New(static_cast<Py_ssize_t>(count))));
  for (std::size_t k = 0; k < count; ++k) {
    PyObject* pair = require_created(Py_BuildValue("(LL)", static_cast<long long>(spans[2 * k]),
                                                   static_cast<long long>(spans[2 * k + 1])));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), pair);
  }
  return list;
}

}  // namespace

Ref encode_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 4> bound{};
  bind_fastcall(kEncodeText, args, nargs, kwnames, bound);
  EngineObject* object = engine_of(self);
  {
    // What CoreBPE.encode raises for a text that is no str or has no UTF-8 form.
    Utf8Text text;
    convert_argument("text", [&] { return to_str_view(bound[0], text); });
  }
  const bool markers = to_bool("markers", bound[1]);
  const bool offsets = to_bool("offsets", bound[2]);
  const SegmenterArg segmenter = to_segmenter(bound[3]);
  Ref sequence = Ref::steal(require_created(PyTuple_Pack(1, bound[0])));
  engine::EncodedWords out;
  engine::FlatBuffer<std::int64_t> spans;
  encode_text_blocks(object, sequence.get(), 1, markers, segmenter, false, {}, out, offsets ? &spans : nullptr,
                     [](engine::EncodedWords&) {});
  Ref ids = id_list(object, std::span<const engine::TokenId>(out.ids.data(), out.ids.size()));
  if (!offsets) return ids;
  return pair_of(ids.release(), spans_list(spans).release());
}

Ref encode_text_lists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 6> bound{};
  bind_fastcall(kEncodeTextLists, args, nargs, kwnames, bound);
  EngineObject* object = engine_of(self);
  const std::size_t threads = to_threads(bound[1]);
  const bool markers = to_bool("markers", bound[2]);
  const SegmenterArg segmenter = to_segmenter(bound[3]);
  const engine::DropoutSettings dropout = to_dropout(bound[4], bound[5]);
  Ref sequence = batch_sequence(bound[0], "texts", "str");
  Ref result = Ref::steal(require_created(PyList_New(0)));
  engine::EncodedWords out;
  encode_text_blocks(object, sequence.get(), threads, markers, segmenter, true, dropout, out, nullptr,
                     [&](engine::EncodedWords& block) {
                       std::int64_t start = 0;
                       for (const std::int64_t end : block.ends) {
                         Ref ids = id_list(object, std::span<const engine::TokenId>(
                                                       block.ids.data() + start, static_cast<std::size_t>(end - start)));
                         if (PyList_Append(result.get(), ids.get()) < 0) throw_fetched();
                         start = end;
                       }
                       block.ids.clear();
                       block.ends.clear();
                     });
  return result;
}

Ref encode_text_flat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 6> bound{};
  bind_fastcall(kEncodeTextFlat, args, nargs, kwnames, bound);
  EngineObject* object = engine_of(self);
  const std::size_t threads = to_threads(bound[1]);
  const bool markers = to_bool("markers", bound[2]);
  const SegmenterArg segmenter = to_segmenter(bound[3]);
  const engine::DropoutSettings dropout = to_dropout(bound[4], bound[5]);
  Ref sequence = batch_sequence(bound[0], "texts", "str");
  engine::EncodedWords out;
  out.ends.push_back(0);
  encode_text_blocks(object, sequence.get(), threads, markers, segmenter, true, dropout, out, nullptr,
                     [](engine::EncodedWords&) {});
  return pair_of(owned_buffer(out.ids.release()), owned_buffer(out.ends.release()));
}

Ref encode_text_chunk(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 4> bound{};
  bind_fastcall(kEncodeTextChunk, args, nargs, kwnames, bound);
  EngineObject* object = engine_of(self);
  const std::size_t threads = to_threads(bound[1]);
  const bool markers = to_bool("markers", bound[2]);
  const SegmenterArg segmenter = to_segmenter(bound[3]);
  if (PyUnicode_Check(bound[0])) throw type_mismatch(bound[0], "bytes-like object");
  // Held to the end: the exporter can neither free nor resize the bytes
  // while the workers, or a Python segmenter's caller, read them.
  BufferView data(bound[0], PyBUF_C_CONTIGUOUS);
  const std::string_view bytes(static_cast<const char*>(data.data()), data.bytes());
  PollingSession polling(*object->engine, threads);
  std::vector<engine::WordRef> lines;
  // Checked and cut slice by slice, so that Ctrl-C is seen between slices of
  // a large input. A slice ends after a line feed, where the checker of the
  // whole would start afresh too, so the first bad byte is found alike.
  for (std::size_t start = 0; start < bytes.size();) {
    check_signals();
    const std::string_view rest = bytes.substr(start);
    const std::size_t feed = rest.size() > kSliceBytes ? rest.find('\n', kSliceBytes) : std::string_view::npos;
    const std::string_view slice = rest.substr(0, feed == std::string_view::npos ? rest.size() : feed + 1);
    const std::size_t invalid = polling.unlocked([&](engine::Session&) {
      const std::size_t invalid = engine::first_invalid_utf8(slice);
      if (invalid == engine::kNoWord) engine::cut_lines(slice, lines);
      return invalid;
    });
    if (invalid != engine::kNoWord) raise_invalid_utf8(start + invalid);
    start += slice.size();
  }
  engine::EncodedWords out;
  out.ends.push_back(0);
  encode_line_blocks(object, polling, lines, markers, segmenter, out);
  return pair_of(owned_buffer(out.ids.release()), owned_buffer(out.ends.release()));
}

Ref decode_text_lists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 2> bound{};
  bind_fastcall(kDecodeTextLists, args, nargs, kwnames, bound);
  EngineObject* object = engine_of(self);
  return decode_sequences(object, bound[0], to_threads(bound[1]), Decoding::kText);
}

Ref decode_text_flat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 3> bound{};
  bind_fastcall(kDecodeTextFlat, args, nargs, kwnames, bound);
  EngineObject* object = engine_of(self);
  const std::size_t threads = to_threads(bound[2]);
  return decode_buffers(object, bound[0], bound[1], threads, Decoding::kText);
}

namespace {

// The pieces of a text as (start, end, kind) in characters; kind is one of
// "word", "number", "punctuation", "space".
PyObject* split_text_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&] {
    std::array<PyObject*, 1> bound{};
    bind_fastcall(kSplitText, args, nargs, kwnames, bound);
    Utf8Text utf8;
    const std::string_view text = convert_argument("text", [&] { return to_str_view(bound[0], utf8); });
    std::vector<text::Piece> pieces;
    text::split_pieces(text, pieces);
    static constexpr const char* kKinds[] = {"word", "number", "punctuation", "space"};
    Ref list = Ref::steal(require_created(PyList_New(static_cast<Py_ssize_t>(pieces.size()))));
    for (std::size_t k = 0; k < pieces.size(); ++k) {
      const text::Piece& piece = pieces[k];
      PyObject* item = require_created(Py_BuildValue("(nns)", static_cast<Py_ssize_t>(piece.char_begin),
                                                     static_cast<Py_ssize_t>(piece.char_end),
                                                     kKinds[static_cast<int>(piece.kind)]));
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list;
  });
}

// One byte per code point: 0 other, 1 word, 2 number, 3 space.
PyObject* char_classes_entry(PyObject*, PyObject*) noexcept {
  return guard([&] {
    constexpr std::size_t kCodePoints = 0x110000;
    Ref bytes = Ref::steal(require_created(PyBytes_FromStringAndSize(nullptr, kCodePoints)));
    char* out = PyBytes_AS_STRING(bytes.get());
    for (std::uint32_t c = 0; c < kCodePoints; ++c) out[c] = static_cast<char>(text::char_class(c));
    return bytes;
  });
}

PyMethodDef g_text_functions[] = {
    {"split_text", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(split_text_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "split_text($module, text)\n--\n\nThe pieces of running text as (start, end, kind), in characters."},
    {"char_classes", char_classes_entry, METH_NOARGS,
     "char_classes($module)\n--\n\nThe class of every code point, one byte each: 0 other, 1 word, 2 number, 3 space."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_text_attributes(PyObject* module) {
  if (PyModule_AddFunctions(module, g_text_functions) < 0) throw_fetched();
  const std::string_view version = text::unicode_version();
  Ref value = Ref::steal(require_created(PyUnicode_FromStringAndSize(version.data(), static_cast<Py_ssize_t>(version.size()))));
  if (PyModule_AddObjectRef(module, "UNICODE_VERSION", value.get()) < 0) throw_fetched();
}

}  // namespace morfex::py
