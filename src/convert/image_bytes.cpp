#include "convert/image_bytes.h"

#include <algorithm>
#include <cstring>

#include "common/le.h"

namespace xipsaw {

ImageExtent image_extent(Image& image) {
  ImageExtent extent;
  extent.first = image.header.image_start;
  // physlast as the records or the stretch address it; a value at or below
  // the first address says nothing.
  const uint32_t physlast = image.rom_header.physlast() - image.rom_offset;
  const uint64_t stated = physlast > extent.first ? physlast : extent.first;
  BinStream& stream = *image.stream;
  if (image.kind == ImageKind::raw) {
    Stretch stretch;
    const uint64_t held = image.store->next(stream, extent.first, stretch) ? stretch.end : extent.first;
    extent.last = physlast > extent.first ? std::min(stated, held) : held;
    return extent;
  }
  extent.last = stated;
  image.store->visit(stream, [&](uint32_t address, uint32_t length, int64_t) {
    const uint64_t end = uint64_t{address} + length;
    // A record whose end wraps past 2^32 is never located.
    if (end < (uint64_t{1} << 32) && end > extent.last) extent.last = end;
    return true;
  });
  return extent;
}

bool ImageBytes::read(uint8_t* buffer, size_t count) {
  BinStream& stream = *image_.stream;
  while (count > 0) {
    // How far the bytes from address_ on are zeros, or, where the image
    // holds them, how many to take from the file.
    uint64_t zeros = count;
    size_t take = 0;
    if (address_ < extent_.first) {
      zeros = extent_.first - address_;
    } else if (address_ < extent_.last) {
      if (!have_stretch_ || address_ >= stretch_.end)
        have_stretch_ = image_.store->next(stream, static_cast<uint32_t>(address_), stretch_);
      const uint64_t data = have_stretch_ ? std::min<uint64_t>(stretch_.address, extent_.last) : extent_.last;
      if (address_ < data) {
        zeros = data - address_;
      } else {
        zeros = 0;
        take = static_cast<size_t>(std::min<uint64_t>({count, stretch_.end - address_, extent_.last - address_}));
      }
    }
    if (zeros > 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(zeros, count));
      std::memset(buffer, 0, n);
      buffer += n;
      count -= n;
      address_ += n;
      continue;
    }
    stream.seek(stretch_.data_position + static_cast<int64_t>(address_ - stretch_.address));
    if (stream.read(buffer, take) != take) return false;
    buffer += take;
    count -= take;
    address_ += take;
  }
  return true;
}

}  // namespace xipsaw
