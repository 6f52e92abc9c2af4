// The images of the run's file, each in turn: found once, then handed to
// the passes one after the other.
#pragma once

#include <cstddef>
#include <functional>

#include "run/run.h"

namespace xipsaw {

// Opens each image of the file into run.image and calls visit: the one
// container of a BIN file, or every image that a search of any other file
// finds, in file order, each after an "Image at offset" line (and with its
// own output subdirectory) when there are several. container, when given,
// is called for each image once its container is known, before visit: for
// a BIN file once its header is read, whether its image opens or not.
// Returns how many images were visited; 0 after printing why none opens.
size_t for_each_image(Run& run, const std::function<void()>& visit, const std::function<void()>& container = {});

// Whether the file begins with the container's signature: a BIN file.
bool is_bin_file(BinStream& stream);

}  // namespace xipsaw
