#pragma once

#include "binding/python.h"
#include "binding/refs.h"

// Running text on morfex._engine.Engine: encode_text and its batch forms.
namespace morfex::py {

Ref encode_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref encode_text_lists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref encode_text_flat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Lines of UTF-8 bytes, each encoded as encode_text_flat encodes a text.
Ref encode_text_chunk(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref decode_text_lists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref decode_text_flat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The module's UNICODE_VERSION and its functions split_text and char_classes.
void add_text_attributes(PyObject* module);

}  // namespace morfex::py
