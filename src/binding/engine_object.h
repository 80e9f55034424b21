#pragma once

#include <cstddef>
#include <memory>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "binding/buffer.h"
#include "binding/errors.h"
#include "binding/python.h"
#include "binding/refs.h"
#include "binding/unlocked.h"
#include "engine/batch.h"
#include "engine/text_encoder.h"

// What the methods of morfex._engine.Engine share.
namespace morfex::py {

// Items converted between two looks at pending signals.
constexpr std::size_t kSignalItems = 4096;

struct EngineObject {
  PyObject_HEAD
  std::unique_ptr<engine::Engine> engine;
  std::unique_ptr<engine::TextModel> text;  // over engine's model
  Ref ints;  // tuple of the ints of the small ids, made on first use
};

void check_signals();

// A session whose poll takes the lock back (released by the Unlocked that
// `current` points to at the time) to let Ctrl-C stop the call.
struct PollingSession {
  Unlocked* current = nullptr;
  engine::Session session;

  PollingSession(engine::Engine& engine, std::size_t threads)
      : session(engine, threads, [this] { current->locked(check_signals); }) {}
  // A session that only segments.
  explicit PollingSession(std::size_t threads) : session(threads, [this] { current->locked(check_signals); }) {}

  template <class Work>
  auto unlocked(Work&& work) {
    Unlocked unlocked;
    current = &unlocked;
    return work(session);
  }
};

std::size_t to_threads(PyObject* obj);
// The dropout arguments (either may be null, for 0.0 and 0), for a batch's first block.
engine::DropoutSettings to_dropout(PyObject* rate, PyObject* seed);

// How a decoding call reads its ids: as words or as running text.
enum class Decoding { kWords, kText };
// The texts of a batch of id sequences, block by block on the engine's threads.
Ref decode_sequences(EngineObject* object, PyObject* batch, std::size_t threads, Decoding as);
// The same for flat uint32 ids and int64 offsets.
Ref decode_buffers(EngineObject* object, PyObject* ids, PyObject* offsets, std::size_t threads, Decoding as);
// `self` as an Engine; TypeError when it is none.
EngineObject* engine_of(PyObject* self);
// Raises ValueError for bytes that are not UTF-8, with the offset of the
// first bad byte in its message and as its `offset` attribute.
[[noreturn]] void raise_invalid_utf8(std::size_t offset);
// A new tuple of the two objects, whose references it takes over.
Ref pair_of(PyObject* first, PyObject* second);
// A new list of the ids as ints.
Ref id_list(EngineObject* object, std::span<const engine::TokenId> ids);
// Checks that `view` holds plain values of `size` bytes of one of the struct `formats`.
void check_items(const BufferView& view, const char* name, std::string_view formats, std::size_t size,
                 const char* dtype);
// Copies offsets[first, first + count] and checks that they rise within ids.
std::vector<std::int64_t> checked_offsets(const std::int64_t* offsets, std::size_t first, std::size_t count,
                                          std::size_t id_count);

// A buffer of uint32 ids and one of int64 offsets into it, as decode_flat takes them.
struct FlatInput {
  BufferView ids;
  BufferView offsets;
  std::size_t id_count;
  std::size_t count;  // of words or lines

  FlatInput(PyObject* ids_obj, PyObject* offsets_obj)
      : ids(ids_obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT), offsets(offsets_obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) {
    check_items(ids, "ids", "IL", 4, "uint32");
    check_items(offsets, "offsets", "lq", 8, "int64");
    id_count = ids.bytes() / 4;
    if (offsets.bytes() == 0) throw PyError::lazy(PyExc_ValueError, "offsets must hold at least one value");
    count = offsets.bytes() / 8 - 1;
  }
  const engine::TokenId* id_data() const { return static_cast<const engine::TokenId*>(ids.data()); }
  const std::int64_t* offset_data() const { return static_cast<const std::int64_t*>(offsets.data()); }
};
void append_texts(PyObject* result, const engine::DecodedWords& decoded);

}  // namespace morfex::py
