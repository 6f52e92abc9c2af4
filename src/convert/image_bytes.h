// An image's bytes in address order, as a raw image holds them: from its
// first address to its last, zeros where nothing is stored. Addresses here
// are the ones its records or its stretch of file use (before any ROM
// offset), modulo 2^32: an image that runs across the top of the address
// space goes on from address 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/image.h"

namespace xipsaw {

// Reads the address space from a place on, given as its distance from the
// extent's first address (below 0 before it): the image's bytes inside its
// extent (where a record holds them, the first in file order), zeros
// everywhere else, up to and beyond 4 GiB.
class ImageBytes {
 public:
  ImageBytes(Image& image, ImageExtent extent, int64_t from) : image_(image), extent_(extent), at_(from) {}

  // The next count bytes; false when the file does not hold bytes that its
  // records claim (a file cut short).
  bool read(uint8_t* buffer, size_t count);

 private:
  Image& image_;
  ImageExtent extent_;
  int64_t at_;          // the next byte's distance from the first address
  Stretch stretch_;     // the stretch at or after the next byte's address, while have_stretch_
  bool have_stretch_ = false;
};

}  // namespace xipsaw
