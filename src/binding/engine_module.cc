// The morfex._engine module: batch encoding and decoding on several threads.
// Python objects are read and made with the interpreter lock held, in tight
// loops over borrowed items; the words are encoded and decoded without it.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/arguments.h"
#include "binding/batch_inputs.h"
#include "binding/buffer.h"
#include "binding/conversions.h"
#include "binding/engine_object.h"
#include "binding/engine_text.h"
#include "binding/errors.h"
#include "binding/guard.h"
#include "binding/owned_buffer.h"
#include "binding/python.h"
#include "binding/segmenter_type.h"
#include "binding/unlocked.h"
#include "engine/batch.h"
#include "engine/chunk_text.h"

namespace morfex::py {

// Ids below this have their int objects made once per engine.
constexpr std::size_t kMaxCachedInts = std::size_t{1} << 17;
// Words per worker cache; larger sizes are refused as a likely mistake.
constexpr std::size_t kMaxCacheSize = std::size_t{1} << 26;


constexpr const char* kClassName = "Engine";
constexpr const char* kNewParameters[] = {"vocab", "merges", "cache_size", "byte_ids", "special_ids", "unk_token"};
constexpr const char* kWordsParameters[] = {"words", "threads", "dropout", "seed"};
constexpr const char* kBatchParameters[] = {"batch", "threads"};
constexpr const char* kFlatParameters[] = {"ids", "offsets", "threads"};
constexpr const char* kChunkParameters[] = {"data", "threads"};
constexpr const char* kFormatParameters[] = {"ids", "offsets"};
constexpr FunctionDescription kNew{kClassName, "__new__", kNewParameters, 3};
constexpr std::size_t kByteTokens = 256;
constexpr FunctionDescription kEncodeFlat{kClassName, "encode_flat", kWordsParameters, 2};
constexpr FunctionDescription kEncodeLists{kClassName, "encode_lists", kWordsParameters, 2};
constexpr FunctionDescription kDecodeLists{kClassName, "decode_lists", kBatchParameters, 2};
constexpr FunctionDescription kDecodeFlat{kClassName, "decode_flat", kFlatParameters, 3};
constexpr FunctionDescription kEncodeChunk{kClassName, "encode_chunk", kChunkParameters, 2};
constexpr FunctionDescription kFormatLines{nullptr, "format_lines", kFormatParameters, 2};

PyObject* g_engine_type = nullptr;

void check_signals() {
  if (PyErr_CheckSignals() < 0) throw_fetched();
}

std::size_t to_threads(PyObject* obj) { return to_size("threads", obj, 1, 1024); }

engine::DropoutSettings to_dropout(PyObject* rate, PyObject* seed) {
  engine::DropoutSettings settings;
  if (rate != nullptr) {
    settings.rate = convert_argument("dropout", [rate] {
      if (!PyFloat_Check(rate)) throw type_mismatch(rate, "float");
      return PyFloat_AS_DOUBLE(rate);
    });
    if (!(settings.rate >= 0.0 && settings.rate <= 1.0)) {
      throw PyError::lazy(PyExc_ValueError, "dropout must be from 0 to 1, got " + str_text(rate));
    }
  }
  if (seed != nullptr) {
    const bool in_range = convert_argument("seed", [&] {
      if (!PyLong_Check(seed)) throw type_mismatch(seed, "int");
      settings.seed = PyLong_AsUnsignedLongLong(seed);
      if (settings.seed != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) return true;
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_fetched();
      PyErr_Clear();
      return false;
    });
    if (!in_range) {
      throw PyError::lazy(PyExc_ValueError,
                          "seed must be from 0 to " + std::to_string(UINT64_MAX) + ", got " + str_text(seed));
    }
  }
  return settings;
}

EngineObject* engine_of(PyObject* self) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(self)) != g_engine_type) throw type_mismatch(self, kClassName);
  return reinterpret_cast<EngineObject*>(self);
}

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

void append_texts(PyObject* result, const engine::DecodedWords& decoded) {
  for (std::size_t w = 0; w < decoded.texts.size(); ++w) {
    Ref text = Ref::steal(text_to_str(decoded.texts[w], decoded.shapes[w]));
    if (PyList_Append(result, text.get()) < 0) throw_fetched();
  }
}

// Decodes one block without the lock, as words or as running text.
void decode_block(EngineObject* object, PollingSession& polling, Decoding as, std::span<const engine::TokenId> ids,
                  std::span<const std::int64_t> offsets, engine::DecodedWords& decoded) {
  polling.unlocked([&](engine::Session& session) {
    if (as == Decoding::kText) {
      session.decode_texts(*object->text, ids, offsets, decoded);
    } else {
      session.decode(ids, offsets, decoded);
    }
  });
}

Ref decode_sequences(EngineObject* object, PyObject* batch, std::size_t threads, Decoding as) {
  Ref sequence = batch_sequence(batch, "batch", "id sequences");
  PollingSession polling(*object->engine, threads);
  Ref result = Ref::steal(require_created(PyList_New(0)));
  bpe::IdBuffer ids;
  std::vector<std::int64_t> offsets;
  engine::DecodedWords decoded;
  for_each_block(sequence.get(), [&](std::span<const Ref> items, std::size_t first) {
    ids.truncate(0);
    offsets.assign(1, 0);
    for (std::size_t k = 0; k < items.size(); ++k) {
      if (k % kSignalItems == kSignalItems - 1) check_signals();
      try {
        convert_argument("ids", [&] { to_ids(items[k].get(), ids); });
      } catch (PyError& error) {
        throw item_error(first + k, std::move(error));
      }
      offsets.push_back(static_cast<std::int64_t>(ids.size()));
    }
    decode_block(object, polling, as, std::span<const engine::TokenId>(ids.data(), ids.size()), offsets, decoded);
    append_texts(result.get(), decoded);
  });
  return result;
}

Ref decode_lists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 2> bound{};
  bind_fastcall(kDecodeLists, args, nargs, kwnames, bound);
  EngineObject* object = engine_of(self);
  return decode_sequences(object, bound[0], to_threads(bound[1]), Decoding::kWords);
}

// Checks that `view` holds plain values of `size` bytes of one of the struct `formats`.
void check_items(const BufferView& view, const char* name, std::string_view formats, std::size_t size,
                 const char* dtype) {
  const std::string_view format = view.format();
  if (view.itemsize() != size || format.size() != 1 || formats.find(format[0]) == std::string_view::npos) {
    throw PyError::lazy(PyExc_TypeError, std::string("argument '") + name + "' must be a contiguous buffer of " +
                                             dtype + ", not of format '" + std::string(format) + "'");
  }
}

// Copies offsets[first, first + count] and checks that they rise within ids.
std::vector<std::int64_t> checked_offsets(const std::int64_t* offsets, std::size_t first, std::size_t count,
                                          std::size_t id_count) {
  std::vector<std::int64_t> copy(offsets + first, offsets + first + count + 1);
  auto name = [&](std::size_t k) { return "offsets[" + std::to_string(first + k) + "] = " + std::to_string(copy[k]); };
  if (copy[0] < 0) throw PyError::lazy(PyExc_ValueError, name(0) + " is negative");
  for (std::size_t k = 0; k <= count; ++k) {
    if (k > 0 && copy[k] < copy[k - 1]) {
      throw PyError::lazy(PyExc_ValueError, name(k) + " is below " + name(k - 1));
    }
    if (static_cast<std::uint64_t>(copy[k]) > id_count) {
      throw PyError::lazy(PyExc_ValueError,
                          name(k) + " is past the end of ids (" + std::to_string(id_count) + " ids)");
    }
  }
  return copy;
}


Ref decode_buffers(EngineObject* object, PyObject* ids_obj, PyObject* offsets_obj, std::size_t threads,
                   Decoding as) {
  FlatInput input(ids_obj, offsets_obj);
  PollingSession polling(*object->engine, threads);
  Ref result = Ref::steal(require_created(PyList_New(0)));
  engine::DecodedWords decoded;
  for (std::size_t start = 0; start < input.count; start += kBlockItems) {
    check_signals();
    const std::size_t count = std::min(kBlockItems, input.count - start);
    // A copy: another thread may write to the array while the lock is released.
    const std::vector<std::int64_t> offsets = checked_offsets(input.offset_data(), start, count, input.id_count);
    const std::span<const engine::TokenId> ids(input.id_data() + offsets[0], input.id_count - offsets[0]);
    decode_block(object, polling, as, ids, offsets, decoded);
    append_texts(result.get(), decoded);
  }
  return result;
}

Ref decode_flat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 3> bound{};
  bind_fastcall(kDecodeFlat, args, nargs, kwnames, bound);
  EngineObject* object = engine_of(self);
  const std::size_t threads = to_threads(bound[2]);
  return decode_buffers(object, bound[0], bound[1], threads, Decoding::kWords);
}

[[noreturn]] void raise_invalid_utf8(std::size_t offset) {
  Ref message = Ref::steal(require_created(
      PyUnicode_FromString(("invalid UTF-8 at byte offset " + std::to_string(offset)).c_str())));
  Ref error = Ref::steal(PyObject_CallOneArg(PyExc_ValueError, message.get()));
  if (!error) throw_fetched();
  Ref position = Ref::steal(require_created(PyLong_FromSize_t(offset)));
  if (PyObject_SetAttrString(error.get(), "offset", position.get()) < 0) throw_fetched();
  throw PyError::normalized(std::move(error));
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

PyObject* format_lines_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&] {
    std::array<PyObject*, 2> bound{};
    bind_fastcall(kFormatLines, args, nargs, kwnames, bound);
    FlatInput input(bound[0], bound[1]);
    const std::vector<std::int64_t> offsets = checked_offsets(input.offset_data(), 0, input.count, input.id_count);
    // The size and the digits come from one copy: another thread may
    // rewrite the caller's array at any time, and the text must fit its size.
    std::vector<engine::TokenId> ids;
    std::size_t size = 0;
    {
      Unlocked unlocked;
      ids.assign(input.id_data() + offsets.front(), input.id_data() + offsets.back());
      size = engine::formatted_size(ids, offsets);
    }
    Ref text = Ref::steal(require_created(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
    {
      Unlocked unlocked;
      engine::format_lines(ids, offsets, PyBytes_AS_STRING(text.get()));
    }
    return text;
  });
}

// None, or the ids of the byte tokens "<0x00>" .. "<0xFF>" in byte order.
std::optional<std::array<engine::TokenId, kByteTokens>> to_byte_ids(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  bpe::IdBuffer ids;
  convert_argument("byte_ids", [&] { to_ids(obj, ids); });
  if (ids.size() != kByteTokens) {
    throw PyError::lazy(PyExc_ValueError, "byte_ids must hold 256 ids, got " + std::to_string(ids.size()));
  }
  std::array<engine::TokenId, kByteTokens> byte_ids{};
  std::copy(ids.begin(), ids.end(), byte_ids.begin());
  return byte_ids;
}

// special_ids None: the core's own unknown and special ids. Otherwise the ids
// that decoding drops, at most four, and the unknown token (None: none).
std::optional<engine::SpecialRoles> to_roles(PyObject* special_ids, PyObject* unk_token) {
  const bool no_unk = unk_token == nullptr || unk_token == Py_None;
  if (special_ids == nullptr || special_ids == Py_None) {
    if (!no_unk) throw PyError::lazy(PyExc_ValueError, "unk_token needs special_ids");
    return std::nullopt;
  }
  engine::SpecialRoles roles;
  if (!no_unk) roles.unk_token.emplace(convert_argument("unk_token", [&] { return to_str_view(unk_token); }));
  bpe::IdBuffer ids;
  convert_argument("special_ids", [&] { to_ids(special_ids, ids); });
  if (ids.size() > bpe::kSpecialTokens.size()) {
    throw PyError::lazy(PyExc_ValueError, "special_ids holds at most 4 ids, got " + std::to_string(ids.size()));
  }
  roles.special_ids.assign(ids.begin(), ids.end());
  return roles;
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] {
    PyObject* bound[6] = {};
    bind_tuple_dict(kNew, args, kwargs, bound);
    bpe::TokenToId vocab = convert_argument("vocab", [&] { return to_vocab(bound[0]); });
    bpe::MergeRanks ranks = convert_argument("merges", [&] { return to_merge_ranks(bound[1]); });
    const std::size_t cache_size = to_size("cache_size", bound[2], 0, kMaxCacheSize);
    const std::optional<std::array<engine::TokenId, kByteTokens>> byte_ids = to_byte_ids(bound[3]);
    const std::optional<engine::SpecialRoles> roles = to_roles(bound[4], bound[5]);
    if (roles && roles->unk_token && !vocab.get(*roles->unk_token)) {
      throw PyError::lazy(PyExc_ValueError, "unk_token is not in the vocabulary");
    }
    auto built =
        std::make_unique<engine::Engine>(engine::build_model(std::move(vocab), std::move(ranks), roles), cache_size);
    const std::optional<std::string_view> unknown_token =
        roles ? std::optional<std::string_view>(roles->unk_token) : std::optional<std::string_view>("<unk>");
    auto text = std::make_unique<engine::TextModel>(built->model(), byte_ids, unknown_token);
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) throw_fetched();
    auto* object = reinterpret_cast<EngineObject*>(self.get());
    new (&object->engine) std::unique_ptr<engine::Engine>(std::move(built));
    new (&object->text) std::unique_ptr<engine::TextModel>(std::move(text));
    new (&object->ints) Ref();
    return self;
  });
}

void engine_dealloc(PyObject* self) noexcept {
  guard_dealloc([&] {
    PyTypeObject* type = Py_TYPE(self);
    auto* object = reinterpret_cast<EngineObject*>(self);
    object->ints.~Ref();
    object->text.~unique_ptr();
    object->engine.~unique_ptr();
    type->tp_free(self);
    Py_DECREF(type);
  });
}

PyObject* get_cache_size(PyObject* self, void*) noexcept {
  return guard([&] {
    return Ref::steal(require_created(PyLong_FromSize_t(engine_of(self)->engine->caches().capacity())));
  });
}

int set_cache_size(PyObject* self, PyObject* value, void*) noexcept {
  PyObject* done = guard([&] {
    if (value == nullptr) throw PyError::lazy(PyExc_AttributeError, "cache_size cannot be deleted");
    const std::size_t size = to_size("cache_size", value, 0, kMaxCacheSize);
    engine_of(self)->engine->caches().set_capacity(size);
    return Ref::new_ref(Py_None);
  });
  if (done == nullptr) return -1;
  Py_DECREF(done);
  return 0;
}

template <Ref (*Method)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&] { return Method(self, args, nargs, kwnames); });
}

template <Ref (*Method)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
constexpr PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_entry<Method>));
}

PyMethodDef g_engine_methods[] = {
    {"encode_flat", fastcall<encode_flat>(), METH_FASTCALL | METH_KEYWORDS,
     "encode_flat($self, words, threads, dropout=0.0, seed=0)\n--\n\n"
     "Encode every word; returns (ids, offsets) as buffers of uint32 and int64."},
    {"encode_lists", fastcall<encode_lists>(), METH_FASTCALL | METH_KEYWORDS,
     "encode_lists($self, words, threads, dropout=0.0, seed=0)\n--\n\nEncode every word; returns a list of id lists."},
    {"decode_lists", fastcall<decode_lists>(), METH_FASTCALL | METH_KEYWORDS,
     "decode_lists($self, batch, threads)\n--\n\nDecode every sequence of ids; returns a list of str."},
    {"decode_flat", fastcall<decode_flat>(), METH_FASTCALL | METH_KEYWORDS,
     "decode_flat($self, ids, offsets, threads)\n--\n\n"
     "Decode ids[offsets[i]:offsets[i + 1]] for every i; returns a list of str."},
    {"encode_chunk", fastcall<encode_chunk>(), METH_FASTCALL | METH_KEYWORDS,
     "encode_chunk($self, data, threads)\n--\n\n"
     "Encode the whitespace-separated words of UTF-8 lines; returns (ids, line offsets)."},
    {"encode_text", fastcall<encode_text>(), METH_FASTCALL | METH_KEYWORDS,
     "encode_text($self, text, markers, offsets, segmenter)\n--\n\n"
     "Encode running text; returns its ids, or (ids, spans) with offsets."},
    {"encode_text_lists", fastcall<encode_text_lists>(), METH_FASTCALL | METH_KEYWORDS,
     "encode_text_lists($self, texts, threads, markers, segmenter, dropout=0.0, seed=0)\n--\n\n"
     "Encode every text; returns a list of id lists."},
    {"encode_text_flat", fastcall<encode_text_flat>(), METH_FASTCALL | METH_KEYWORDS,
     "encode_text_flat($self, texts, threads, markers, segmenter, dropout=0.0, seed=0)\n--\n\n"
     "Encode every text; returns (ids, offsets) as buffers of uint32 and int64."},
    {"decode_text_lists", fastcall<decode_text_lists>(), METH_FASTCALL | METH_KEYWORDS,
     "decode_text_lists($self, batch, threads)\n--\n\nDecode every sequence of ids as running text."},
    {"decode_text_flat", fastcall<decode_text_flat>(), METH_FASTCALL | METH_KEYWORDS,
     "decode_text_flat($self, ids, offsets, threads)\n--\n\n"
     "Decode ids[offsets[i]:offsets[i + 1]] as running text for every i."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_engine_getset[] = {
    {"cache_size", get_cache_size, set_cache_size, "Words kept per worker cache; 0 turns caching off.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* engine_type() {
  if (g_engine_type != nullptr) return g_engine_type;
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Engine(vocab, merges, cache_size, byte_ids=None, special_ids=None, unk_token=None)\n--\n\n"
                                    "A model built once for batch work on several threads.")},
      {Py_tp_new, reinterpret_cast<void*>(engine_new)},
      {Py_tp_methods, g_engine_methods},
      {Py_tp_getset, g_engine_getset},
      {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
      {0, nullptr},
  };
  PyType_Spec spec = {"morfex._engine.Engine", static_cast<int>(sizeof(EngineObject)), 0, Py_TPFLAGS_DEFAULT,
                      slots};
  g_engine_type = PyType_FromSpec(&spec);
  if (g_engine_type == nullptr) throw_fetched();
  return g_engine_type;
}

PyMethodDef g_module_methods[] = {
    {"format_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(format_lines_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "format_lines($module, ids, offsets)\n--\n\n"
     "The decimal text of lines of ids, one space between ids and a line feed after each line."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "morfex._engine", "Native batch engine of morfex.", 0, g_module_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace morfex::py

PyMODINIT_FUNC PyInit__engine() {
  using namespace morfex::py;
  return guard([] {
    Ref module = Ref::steal(PyModule_Create(&g_module_def));
    if (!module) throw_fetched();
    if (PyModule_AddObjectRef(module.get(), "Engine", engine_type()) < 0) throw_fetched();
    if (PyModule_AddObjectRef(module.get(), "OwnedBuffer", owned_buffer_type()) < 0) throw_fetched();
    add_text_attributes(module.get());
    if (PyModule_AddObjectRef(module.get(), "Segmenter", segmenter_type()) < 0) throw_fetched();
    return module;
  });
}
