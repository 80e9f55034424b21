#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "binding/errors.h"
#include "binding/python.h"
#include "binding/refs.h"
#include "engine/word_text.h"

namespace morfex::py {

// The error of one item of a batch: what the per-word method raises for it,
// with "item <index>: " in front of its message. Exceptions of other types
// (KeyboardInterrupt from a user's __index__, PanicException) pass unchanged.
PyError item_error(std::size_t index, PyError error);

// The batch argument as a list or tuple; a str (a common slip for a list of
// words) and anything that is not iterable are refused naming `name`.
Ref batch_sequence(PyObject* obj, const char* name, const char* of_what);

// The word at `index` of a batch as the workers read it (the caller holds
// the item while the lock is released); raises what CoreBPE.encode would for a non-str.
engine::WordRef word_of(PyObject* item, std::size_t index);

// Raises the error that CoreBPE.encode gives for the str `item` (a lone surrogate).
[[noreturn]] void raise_unencodable(PyObject* item, std::size_t index);

// Items of a batch taken per block: the lock is given up between blocks,
// which bounds the memory of a block's views and references and lets signals in.
inline constexpr std::size_t kBlockItems = std::size_t{1} << 16;

// Walks the list or tuple `sequence` block by block, calling
// on_block(items, first) with strong references to the items
// [first, first + items.size()). Each block's references are taken in one
// pass that runs no Python code, after the length is read afresh: the list
// may have shrunk or grown since the last block (through another thread, a
// signal handler, a callback or a finalizer), and the walk ends at its end
// as iteration over a list does. Signals are checked before each block.
template <class OnBlock>
void for_each_block(PyObject* sequence, OnBlock&& on_block) {
  std::vector<Ref> items;
  for (std::size_t first = 0;; first += items.size()) {
    // Dropping the last block's references may run finalizers, which may
    // change the list, so the length is read after it.
    items.clear();
    if (PyErr_CheckSignals() < 0) throw_fetched();
    const auto size = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence));
    if (first >= size) return;
    const std::size_t count = std::min(kBlockItems, size - first);
    items.reserve(count);
    PyObject** source = PySequence_Fast_ITEMS(sequence) + first;
    for (std::size_t k = 0; k < count; ++k) items.push_back(Ref::new_ref(source[k]));
    on_block(std::span<const Ref>(items), first);
  }
}

// The words of a block, in order, as the workers read them. When item k is
// not a str, the first lone surrogate in items before k is reported instead,
// so that every batch path names the first bad item in batch order.
void words_of_block(std::span<const Ref> items, std::size_t first, std::vector<engine::WordRef>& words);

}  // namespace morfex::py
