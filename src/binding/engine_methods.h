#pragma once

#include "binding/python.h"
#include "binding/refs.h"

// The bodies of morfex._engine's word methods and functions, each in the file
// of its job, for the method tables of engine_type.cc and engine_module.cc.
namespace morfex::py {

// The type morfex._engine.Engine, created on first use and kept for the process.
PyObject* engine_type();

// One word (a str) to its ids, and ids back to text, on the calling thread
// with the lock held: what the batch methods give for a batch of one.
Ref encode_word(PyObject* self, PyObject* word);
Ref decode_ids(PyObject* self, PyObject* ids);
Ref encode_flat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref encode_lists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref encode_chunk(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref decode_lists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref decode_flat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// The module function format_lines(ids, offsets).
Ref format_lines(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace morfex::py
