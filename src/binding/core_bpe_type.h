#pragma once

#include "binding/python.h"

namespace morfex::py {

// The CoreBPE type object, created on first use and kept for the process.
// Throws the creation error when the interpreter refuses the type.
PyObject* core_bpe_type();

}  // namespace morfex::py
