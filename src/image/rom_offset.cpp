// Images built with a ROM offset: loaders whose records lie at one address
// (the flash address, or an alias of it) while every address inside the
// image, the ECEC word's ROM header address included, is one of the address
// space the image runs in.
#include <algorithm>
#include <vector>

#include "common/le.h"
#include "image/image.h"

namespace xipsaw {

namespace {

constexpr size_t kSlice = size_t{1} << 16;

}  // namespace

// The ROM header of such an image lies in some record, at a record address
// h; its offset is then d = rom_header_address - h, and its physfirst, the
// address it runs from, is image_start + d. So the records are searched, in
// file order, at every offset where 84 bytes fit inside one record, for
// bytes whose word at 8 satisfies physfirst - (rom_header_address - h) =
// image_start, all modulo 2^32; the first fit gives d. Each record's data
// is read once, in slices that overlap by a header's length.
bool find_rom_offset(Image& image, uint32_t& offset) {
  const uint32_t pointer = image.rom_header_address;
  if (pointer == 0 || image.store == nullptr) return false;
  BinStream& stream = *image.stream;
  const int64_t saved = stream.tell();
  const int64_t file_size = image.store->file_size();
  std::vector<uint8_t> slice(kSlice + kRomHeaderSize);
  bool found = false;
  image.store->visit(stream, [&](uint32_t address, uint32_t length, int64_t data_position) {
    // Only the bytes the file holds can be read.
    const int64_t held = std::clamp<int64_t>(file_size - data_position, 0, length);
    // physfirst + h = pointer + image_start, with h = address + i.
    const uint32_t wanted = pointer + image.store->first_address() - address;
    for (int64_t i = 0; i + kRomHeaderSize <= held; i += kSlice) {
      const size_t n = static_cast<size_t>(std::min<int64_t>(held - i, kSlice + kRomHeaderSize - 1));
      stream.seek(data_position + i);
      if (stream.read(slice.data(), n) != n) return false;
      for (size_t at = 0; at + kRomHeaderSize <= n && at < kSlice; ++at) {
        if (load_u32(&slice[at + kRomPhysfirst]) + static_cast<uint32_t>(i + static_cast<int64_t>(at)) == wanted) {
          offset = pointer - (address + static_cast<uint32_t>(i + static_cast<int64_t>(at)));
          found = true;
          return false;
        }
      }
    }
    return true;
  });
  stream.seek(saved);
  return found;
}

}  // namespace xipsaw
