// The type morfex._engine.Engine: its construction from a vocabulary and
// merges, its cache_size attribute and its method table.

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/engine_limits.h"
#include "binding/engine_methods.h"
#include "binding/engine_object.h"
#include "binding/engine_text.h"
#include "binding/entry.h"
#include "binding/errors.h"
#include "binding/lazy_type.h"
#include "engine/batch.h"

namespace morfex::py {
namespace {

constexpr const char* kClassName = "Engine";
constexpr const char* kNewParameters[] = {"vocab", "merges", "cache_size", "byte_ids", "special_ids", "unk_token"};
constexpr FunctionDescription kNew{kClassName, "__new__", kNewParameters, 3};
constexpr std::size_t kByteTokens = 256;

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

Ref engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
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
      roles ? std::optional<std::string_view>(roles->unk_token) : std::optional<std::string_view>(bpe::kUnknownToken);
  auto text = std::make_unique<engine::TextModel>(built->model(), byte_ids, unknown_token);
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) throw_fetched();
  auto* object = reinterpret_cast<EngineObject*>(self.get());
  new (&object->engine) std::unique_ptr<engine::Engine>(std::move(built));
  new (&object->text) std::unique_ptr<engine::TextModel>(std::move(text));
  new (&object->ints) Ref();
  return self;
}

void clear(EngineObject& object) {
  object.ints.~Ref();
  object.text.~unique_ptr();
  object.engine.~unique_ptr();
}

Ref get_cache_size(PyObject* self) {
  return Ref::steal(require_created(PyLong_FromSize_t(engine_of(self)->engine->caches().capacity())));
}

void set_cache_size(PyObject* self, PyObject* value) {
  if (value == nullptr) throw PyError::lazy(PyExc_AttributeError, "cache_size cannot be deleted");
  const std::size_t size = to_size("cache_size", value, 0, kMaxCacheSize);
  engine_of(self)->engine->caches().set_capacity(size);
}

PyMethodDef g_engine_methods[] = {
    {"encode", unary<encode_word>(), METH_O,
     "encode($self, word, /)\n--\n\nEncode one word on the calling thread; returns its ids."},
    {"decode", unary<decode_ids>(), METH_O,
     "decode($self, ids, /)\n--\n\nDecode one sequence of ids on the calling thread; returns its text."},
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
    {"encode_text_chunk", fastcall<encode_text_chunk>(), METH_FASTCALL | METH_KEYWORDS,
     "encode_text_chunk($self, data, threads, markers, segmenter)\n--\n\n"
     "Encode UTF-8 lines of running text, each with its line break; returns (ids, line offsets)."},
    {"decode_text_lists", fastcall<decode_text_lists>(), METH_FASTCALL | METH_KEYWORDS,
     "decode_text_lists($self, batch, threads)\n--\n\nDecode every sequence of ids as running text."},
    {"decode_text_flat", fastcall<decode_text_flat>(), METH_FASTCALL | METH_KEYWORDS,
     "decode_text_flat($self, ids, offsets, threads)\n--\n\n"
     "Decode ids[offsets[i]:offsets[i + 1]] as running text for every i."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_engine_getset[] = {
    {"cache_size", getter_of<get_cache_size>(), setter_of<set_cache_size>(), "Words kept per worker cache; 0 turns caching off.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* create_type() {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Engine(vocab, merges, cache_size, byte_ids=None, special_ids=None, unk_token=None)\n--\n\n"
                                    "A model built once for batch work on several threads.")},
      {Py_tp_new, new_slot<engine_new>()},
      {Py_tp_methods, g_engine_methods},
      {Py_tp_getset, g_engine_getset},
      {Py_tp_dealloc, dealloc_slot<EngineObject, clear>()},
      {0, nullptr},
  };
  return type_from_spec("morfex._engine.Engine", static_cast<int>(sizeof(EngineObject)), Py_TPFLAGS_DEFAULT, slots);
}

constinit LazyType g_type{create_type};

}  // namespace

PyObject* engine_type() { return g_type.get(); }

EngineObject* engine_of(PyObject* self) { return g_type.cast<EngineObject>(self, kClassName); }

}  // namespace morfex::py
