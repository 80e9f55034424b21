#pragma once

#include "binding/python.h"

namespace morfex::py {

// Adds train_segmenter and segmentation_cost to the module; throws on failure.
void add_segment_trainer_functions(PyObject* module);

}  // namespace morfex::py
