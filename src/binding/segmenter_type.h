#pragma once

#include "binding/python.h"
#include "segment/model.h"

namespace morfex::py {

// The type morfex._engine.Segmenter, created on first use and kept for the process.
PyObject* segmenter_type();

// The model of `obj` when it is a morfex._engine.Segmenter, else null; it
// lives as long as `obj`.
const segment::Model* segmenter_model(PyObject* obj) noexcept;

}  // namespace morfex::py
