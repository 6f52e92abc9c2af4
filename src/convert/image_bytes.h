// An image's bytes in address order, as a raw image holds them: from its
// first address to its last, zeros where nothing is stored. Addresses here
// are the ones its records or its stretch of file use (before any ROM
// offset).
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/image.h"

namespace xipsaw {

struct ImageExtent {
  uint32_t first = 0;  // the image's first address
  uint64_t last = 0;   // just past its last byte
};

// A BIN container's image runs from its image start to physlast (the end its
// ROM header gives) or to the highest end of a record, whichever is higher.
// A raw image's runs from its first address to physlast or to the end of the
// file, whichever comes first, so that the padding of a flash partition is
// not taken for image.
ImageExtent image_extent(Image& image);

// Reads the address space from an address on: the image's bytes inside its
// extent (where a record holds them, the first in file order), zeros
// everywhere else, up to and beyond 4 GiB.
class ImageBytes {
 public:
  ImageBytes(Image& image, ImageExtent extent, uint64_t from) : image_(image), extent_(extent), address_(from) {}

  // The next count bytes; false when the file does not hold bytes that its
  // records claim (a file cut short).
  bool read(uint8_t* buffer, size_t count);

 private:
  Image& image_;
  ImageExtent extent_;
  uint64_t address_;
  Stretch stretch_;     // the stretch at or after address_, while have_stretch_
  bool have_stretch_ = false;
};

}  // namespace xipsaw
