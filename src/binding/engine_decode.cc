// The decoding methods of morfex._engine.Engine, from one id sequence, from
// id sequences or flat buffers, and the module's format_lines over the same flat buffers.

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
#include "binding/unlocked.h"
#include "engine/batch.h"
#include "engine/chunk_text.h"

namespace morfex::py {
namespace {

constexpr const char* kClassName = "Engine";
constexpr const char* kBatchParameters[] = {"batch", "threads"};
constexpr const char* kFlatParameters[] = {"ids", "offsets", "threads"};
constexpr const char* kFormatParameters[] = {"ids", "offsets"};
constexpr FunctionDescription kDecodeLists{kClassName, "decode_lists", kBatchParameters, 2};
constexpr FunctionDescription kDecodeFlat{kClassName, "decode_flat", kFlatParameters, 3};
constexpr FunctionDescription kFormatLines{nullptr, "format_lines", kFormatParameters, 2};

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

}  // namespace

void append_texts(PyObject* result, const engine::DecodedWords& decoded) {
  for (std::size_t w = 0; w < decoded.texts.size(); ++w) {
    Ref text = Ref::steal(text_to_str(decoded.texts[w], decoded.shapes[w]));
    if (PyList_Append(result, text.get()) < 0) throw_fetched();
  }
}

Ref decode_ids(PyObject* self, PyObject* ids_obj) {
  EngineObject* object = engine_of(self);
  // Any iterable of ids, read as list(ids) reads it; a list or tuple is read in place.
  Ref copy;
  if (!PyList_CheckExact(ids_obj) && !PyTuple_CheckExact(ids_obj)) {
    copy = Ref::steal(PySequence_List(ids_obj));
    if (!copy) throw_fetched();
    ids_obj = copy.get();
  }
  bpe::IdBuffer ids;
  // Converting may run a caller's __index__, which may call this engine
  // again: everything it reads is local or the read-only model.
  convert_argument("ids", [&] { to_ids(ids_obj, ids); });
  bpe::TextBuffer text;
  const engine::TextShape shape =
      engine::decode_word(object->engine->model(), std::span<const engine::TokenId>(ids.data(), ids.size()), text);
  return Ref::steal(text_to_str(std::string_view(text.data(), text.size()), shape));
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

Ref format_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
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
}

}  // namespace morfex::py
