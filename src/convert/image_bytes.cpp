#include "convert/image_bytes.h"

#include <algorithm>
#include <cstring>

namespace xipsaw {

bool ImageBytes::read(uint8_t* buffer, size_t count) {
  BinStream& stream = *image_.stream;
  const auto length = static_cast<int64_t>(extent_.length);
  while (count > 0) {
    // How far the bytes from at_ on are zeros, or, where the image holds
    // them, how many to take from the file.
    int64_t zeros = static_cast<int64_t>(std::min<uint64_t>(count, kAddressSpaceEnd));
    size_t take = 0;
    const uint32_t address = extent_.first + static_cast<uint32_t>(at_);
    if (at_ < 0) {
      zeros = -at_;
    } else if (at_ < length) {
      const auto inside = [&] { return address - stretch_.address < stretch_.end - stretch_.address; };
      if (!have_stretch_ || !inside()) have_stretch_ = image_.store->next(stream, address, stretch_);
      // Where the stretch's data begins, at or above the address; with none
      // there, the image goes on from address 0 past the top of the address
      // space.
      const uint64_t ahead = !have_stretch_ ? kAddressSpaceEnd - address : inside() ? 0 : stretch_.address - address;
      const int64_t data = std::min<int64_t>(at_ + static_cast<int64_t>(ahead), length);
      if (at_ < data) {
        zeros = data - at_;
      } else {
        zeros = 0;
        take = static_cast<size_t>(std::min<uint64_t>({count, uint32_t{stretch_.end - address - 1} + uint64_t{1},
                                                       static_cast<uint64_t>(length - at_)}));
      }
    }
    if (zeros > 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(zeros), count));
      std::memset(buffer, 0, n);
      buffer += n;
      count -= n;
      at_ += static_cast<int64_t>(n);
      continue;
    }
    stream.seek(stretch_.data_position + (address - stretch_.address));
    if (stream.read(buffer, take) != take) return false;
    buffer += take;
    count -= take;
    at_ += static_cast<int64_t>(take);
  }
  return true;
}

}  // namespace xipsaw
