// The word-encoding methods of morfex._engine.Engine: one word (encode),
// words given as str (encode_flat, encode_lists) or as UTF-8 lines (encode_chunk).

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/arguments.h"
#include "binding/batch_inputs.h"
#include "binding/buffer.h"
#include "binding/conversions.h"
#include "binding/engine_methods.h"
#include "binding/engine_object.h"
#include "binding/errors.h"
#include "binding/owned_buffer.h"
#include "binding/utf8_text.h"
#include "engine/batch.h"
#include "engine/chunk_text.h"

namespace morfex::py {
namespace {

// Ids below this have their int objects made once per engine.
constexpr std::size_t kMaxCachedInts = std::size_t{1} << 17;

constexpr const char* kClassName = "Engine";
constexpr const char* kWordsParameters[] = {"words", "threads", "dropout", "seed"};
constexpr const char* kChunkParameters[] = {"data", "threads"};
constexpr FunctionDescription kEncodeFlat{kClassName, "encode_flat", kWordsParameters, 2};
constexpr FunctionDescription kEncodeLists{kClassName, "encode_lists", kWordsParameters, 2};
constexpr FunctionDescription kEncodeChunk{kClassName, "encode_chunk", kChunkParameters, 2};

// Encodes the words block by block, each without the lock; `on_block(out)`
// then runs under the lock with the block's ids appended to `out`.
template <class OnBlock>
void encode_blocks(EngineObject* self, PyObject* words, std::size_t threads, engine::DropoutSettings dropout,
                   engine::EncodedWords& out, OnBlock&& on_block) {
  Ref sequence = batch_sequence(words, "words", "str");
  PollingSession polling(*self->engine, threads);
  std::vector<engine::WordRef> block;
  for_each_block(sequence.get(), [&](std::span<const Ref> items, std::size_t first) {
    words_of_block(items, first, block);
    dropout.first = first;
    const std::size_t failed =
        polling.unlocked([&](engine::Session& session) { return session.encode(block, out, dropout); });
    if (failed != engine::kNoWord) raise_unencodable(items[failed].get(), first + failed);
    on_block(out);
  });
}

PyObject* ints_of(EngineObject* object) {
  if (!object->ints) {
    const std::size_t count = std::min<std::size_t>(engine::largest_id(object->engine->model()) + 1, kMaxCachedInts);
    Ref ints = Ref::steal(require_created(PyTuple_New(static_cast<Py_ssize_t>(count))));
    for (std::size_t i = 0; i < count; ++i) {
      PyTuple_SET_ITEM(ints.get(), static_cast<Py_ssize_t>(i), require_created(PyLong_FromSize_t(i)));
    }
    object->ints = std::move(ints);
  }
  return object->ints.get();
}

}  // namespace

[[noreturn]] void raise_invalid_utf8(std::size_t offset) {
  Ref message = Ref::steal(require_created(
      PyUnicode_FromString(("invalid UTF-8 at byte offset " + std::to_string(offset)).c_str())));
  Ref error = Ref::steal(PyObject_CallOneArg(PyExc_ValueError, message.get()));
  if (!error) throw_fetched();
  Ref position = Ref::steal(require_created(PyLong_FromSize_t(offset)));
  if (PyObject_SetAttrString(error.get(), "offset", position.get()) < 0) throw_fetched();
  throw PyError::normalized(std::move(error));
}

Ref pair_of(PyObject* first, PyObject* second) {
  Ref a = Ref::steal(first);
  Ref b = Ref::steal(second);
  return Ref::steal(require_created(PyTuple_Pack(2, a.get(), b.get())));
}

Ref encode_flat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 4> bound{};
  bind_fastcall(kEncodeFlat, args, nargs, kwnames, bound);
  EngineObject* object = engine_of(self);
  const std::size_t threads = to_threads(bound[1]);
  const engine::DropoutSettings dropout = to_dropout(bound[2], bound[3]);
  engine::EncodedWords out;
  out.ends.push_back(0);
  encode_blocks(object, bound[0], threads, dropout, out, [](engine::EncodedWords&) {});
  return pair_of(owned_buffer(out.ids.release()), owned_buffer(out.ends.release()));
}

Ref id_list(EngineObject* object, std::span<const engine::TokenId> ids) {
  PyObject* ints = ints_of(object);
  const auto cached = static_cast<engine::TokenId>(PyTuple_GET_SIZE(ints));
  Ref list = Ref::steal(require_created(PyList_New(static_cast<Py_ssize_t>(ids.size()))));
  for (std::size_t k = 0; k < ids.size(); ++k) {
    PyObject* value;
    if (ids[k] < cached) {
      value = PyTuple_GET_ITEM(ints, ids[k]);
      Py_INCREF(value);
    } else {
      value = require_created(PyLong_FromUnsignedLong(ids[k]));
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), value);
  }
  return list;
}

Ref encode_word(PyObject* self, PyObject* word) {
  EngineObject* object = engine_of(self);
  // No word cache: taking one from the pool costs a lock per call. The str
  // is read in place, so a fresh str does not grow a cached UTF-8 copy. The
  // ints are made afresh: the engine's table of them is scattered over memory,
  // and reading it word after word costs more than allocating.
  Utf8Text utf8;
  const std::string_view text = convert_argument("text", [&] { return to_str_view(word, utf8); });
  bpe::IdBuffer ids;
  engine::encode_word(object->engine->model(), text, ids);
  return Ref::steal(ids_to_list(std::span<const engine::TokenId>(ids.data(), ids.size())));
}

Ref encode_lists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 4> bound{};
  bind_fastcall(kEncodeLists, args, nargs, kwnames, bound);
  EngineObject* object = engine_of(self);
  const std::size_t threads = to_threads(bound[1]);
  const engine::DropoutSettings dropout = to_dropout(bound[2], bound[3]);
  Ref result = Ref::steal(require_created(PyList_New(0)));
  engine::EncodedWords out;
  encode_blocks(object, bound[0], threads, dropout, out, [&](engine::EncodedWords& block) {
    std::int64_t start = 0;
    for (const std::int64_t end : block.ends) {
      Ref ids = id_list(object, std::span(block.ids.data() + start, static_cast<std::size_t>(end - start)));
      if (PyList_Append(result.get(), ids.get()) < 0) throw_fetched();
      start = end;
    }
    block.ids.clear();
    block.ends.clear();
  });
  return result;
}

Ref encode_chunk(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 2> bound{};
  bind_fastcall(kEncodeChunk, args, nargs, kwnames, bound);
  EngineObject* object = engine_of(self);
  const std::size_t threads = to_threads(bound[1]);
  if (PyUnicode_Check(bound[0])) throw type_mismatch(bound[0], "bytes-like object");
  BufferView data(bound[0], PyBUF_C_CONTIGUOUS);
  const std::string_view bytes(static_cast<const char*>(data.data()), data.bytes());
  PollingSession polling(*object->engine, threads);
  engine::SplitLines split;
  engine::EncodedWords out;
  const std::size_t invalid = polling.unlocked([&](engine::Session& session) {
    const std::size_t invalid = engine::first_invalid_utf8(bytes);
    if (invalid != engine::kNoWord) return invalid;
    engine::split_lines(bytes, split);
    session.encode(split.words, out);
    return engine::kNoWord;
  });
  if (invalid != engine::kNoWord) raise_invalid_utf8(invalid);
  engine::FlatBuffer<std::int64_t> lines;
  std::int64_t* line = lines.extend(split.line_ends.size() + 1);
  *line++ = 0;
  for (const std::size_t end : split.line_ends) *line++ = end == 0 ? 0 : out.ends[end - 1];
  return pair_of(owned_buffer(out.ids.release()), owned_buffer(lines.release()));
}

}  // namespace morfex::py
