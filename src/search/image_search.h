// Finding the images in a file that is not a BIN file: raw images (an .nb0
// file, a flash dump with loaders and an OS image at their flash offsets)
// and BIN containers behind a header of their own, in file order.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/offset_name.h"
#include "image/bin_stream.h"
#include "image/image.h"

namespace xipsaw {

struct FoundImage {
  ImageKind kind;
  int64_t offset;          // of the container's "B000FF\n", or of the raw image's first byte
  uint32_t physfirst = 0;  // a raw image's first address
};

struct ImageSearch {
  std::vector<FoundImage> images;  // in file order
  bool more = false;               // more images than the search keeps
  bool unreadable = false;         // the file could not be read to its end
};

// What the search holds at most: candidates of its first pass, headers of
// its second, images found (about 3, 12 and 2 MiB). Real files hold a few
// candidates ("ECEC" words) at most.
struct SearchLimits {
  size_t candidates = size_t{1} << 16;
  size_t headers = size_t{1} << 19;
  size_t images = size_t{1} << 16;
};

// Searches the whole file. A "B000FF\n" counts only when its record chain is
// whole (at least one record, every record inside the file, up to an end
// record) and its image opens; raw images inside such a container are that
// container's image, not images of their own.
ImageSearch find_images(BinStream& stream, const SearchLimits& limits = {});

// Opens a found image: the container's records, or the file from the raw
// image's offset on, then its ECEC signature and ROM header.
bool open_found_image(Image& image, const FoundImage& found);

}  // namespace xipsaw
