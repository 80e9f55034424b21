#pragma once

#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "binding/errors.h"
#include "binding/python.h"
#include "binding/utf8_text.h"
#include "bpe/core_bpe.h"
#include "bpe/encoder.h"
#include "bpe/utf8.h"

namespace morfex::py {

// TypeError "'<qualified type name of obj>' object cannot be converted to '<target>'".
PyError type_mismatch(PyObject* obj, const char* target);

// The str's UTF-8 bytes, owned by the str (which the caller keeps alive).
std::string_view to_str_view(PyObject* obj);
// The same, read through `text` (see Utf8Text) instead of a copy kept by the str.
std::string_view to_str_view(PyObject* obj, Utf8Text& text);
bpe::TokenId to_id(PyObject* obj);
// The plain arguments of every module, worded alike: TypeError
// "argument '<name>' must be a bool, not '<type>'", and for a count an int
// from `minimum` to `maximum`, else ValueError "<name> must be from <minimum>
// to <maximum>, got <value>".
bool to_bool(const char* name, PyObject* obj);
std::size_t to_size(const char* name, PyObject* obj, std::size_t minimum, std::size_t maximum);
// Appends the ids of the sequence `obj` to `ids`.
void to_ids(PyObject* obj, bpe::IdBuffer& ids);
// The merge list, keyed and ranked as the record wants it.
bpe::MergeRanks to_merge_ranks(PyObject* obj);
bpe::TokenToId to_vocab(PyObject* obj);

// Runs the conversion of the parameter `name`; an exact TypeError it throws
// is re-worded "argument '<name>': <text>" and keeps the original's cause.
template <class Convert>
auto convert_argument(const char* name, Convert&& convert) {
  try {
    return convert();
  } catch (PyError& error) {
    if (!error.type_is(PyExc_TypeError)) throw;
    PyObject* original = error.normalize();
    PyError reworded = PyError::lazy(PyExc_TypeError, std::string("argument '") + name + "': " + str_text(original));
    Ref cause = Ref::steal(PyException_GetCause(original));
    reworded.set_cause(cause.get());
    throw reworded;
  }
}

// Python results; a failure to create them is an internal failure.
PyObject* ids_to_list(std::span<const bpe::TokenId> ids);
PyObject* text_to_str(std::string_view text);
// The same for text whose shape is known (as bpe::shape_of would give it).
PyObject* text_to_str(std::string_view text, const bpe::TextShape& shape);

}  // namespace morfex::py
