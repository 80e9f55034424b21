#pragma once

#include <cstddef>
#include <cstdint>
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

}  // namespace morfex::py
