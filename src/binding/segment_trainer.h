#pragma once

#include "binding/python.h"

namespace morfex::py {

// Adds train_segmenter, segmentation_cost and MAX_SEGMENTER_SEED to the module;
// throws on failure.
void add_segment_trainer_functions(PyObject* module);

}  // namespace morfex::py
