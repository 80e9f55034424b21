#pragma once

#include "binding/python.h"
#include "engine/flat_buffer.h"

namespace morfex::py {

// A Python object that owns native memory and exports it as a writable
// buffer, so numpy.frombuffer views a result in place and keeps it alive.
PyObject* owned_buffer(engine::Storage storage);
// The type, created once, for module init.
PyObject* owned_buffer_type();

}  // namespace morfex::py
