#pragma once

#include "binding/python.h"

namespace morfex::py {

// The type morfex._engine.Segmenter, created on first use and kept for the process.
PyObject* segmenter_type();

}  // namespace morfex::py
