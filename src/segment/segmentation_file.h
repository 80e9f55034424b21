#pragma once

#include <string_view>

#include "segment/segmentation_loader.h"

namespace morfex::segment {

// The separator Morfessor writes between the morphs of a word.
inline constexpr std::string_view kMorfessorSeparator = " + ";

// Reads the text of a segmentation file as Morfessor 2.0 writes it
// (morfessor-train --save-segmentation, MorfessorIO.write_segmentation_file)
// into `loader`, in file order. Lines are "COUNT MORPH<sep>MORPH...", with
// trailing whitespace ignored; empty lines and lines starting with '#' are
// skipped. Throws InputError with the line of the first fault: invalid
// UTF-8, a missing space, a count that is not decimal digits, or a bad morph.
void read_segmentations(std::string_view text, std::string_view separator, SegmentationLoader& loader);

}  // namespace morfex::segment
