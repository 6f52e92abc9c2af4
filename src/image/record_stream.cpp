// The record stream: locating image addresses in the BIN file's records and
// transferring image bytes across them, keeping every written record's
// checksum right.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "image/image.h"
#include "image/transaction.h"

namespace xipsaw {

// ---- Operations ----------------------------------------------------------

int read_bin_header(Image& image) {
  uint8_t bytes[kBinHeaderSize] = {};
  const int64_t at = image.stream->tell();
  size_t got = image.stream->read(bytes, sizeof bytes);
  if (got < kBinSignatureSize || !BinHeader::signed_by(bytes)) return 0;
  image.file_offset = at;
  image.store = std::make_unique<RecordIndex>(image.stream->tell(), BinHeader::parse(bytes));
  image.cursor = {};
  return 1;
}

void open_raw_image(Image& image, int64_t offset, uint32_t address) {
  image.file_offset = offset;
  image.store = std::make_unique<RawImage>(offset, address, image.stream->size());
  image.cursor = {};
}

namespace {

// The stretch that holds an address of the image's own (after the ROM
// offset), where the image has any.
bool find_stretch(Image& image, uint32_t address, Stretch& stretch) {
  return image.store != nullptr && image.store->find(*image.stream, address, stretch);
}

// The bytes of a stretch from the image's own address at on: up to its end,
// but not on to the image's address 0 (target is at as the image has it),
// which is never located, should the stretch run across it.
uint32_t held_from(const Stretch& stretch, uint32_t at, uint32_t target) {
  return std::min(stretch.end - at, 0u - target);
}

}  // namespace

uint32_t locate_address(Image& image, uint32_t target) {
  Stretch stretch;
  const uint32_t at = target - image.rom_offset;
  if (target == 0 || !find_stretch(image, at, stretch)) {
    image.cursor = {};
    return 0;
  }
  image.cursor.address = target;
  image.cursor.remaining = held_from(stretch, at, target);
  image.cursor.header_position = stretch.header_position;
  image.stream->seek(stretch.data_position + (at - stretch.address));
  return image.cursor.remaining;
}

namespace {

// Moves count bytes at the cursor, within the current record or across the
// records that hold the following addresses. With a clear cursor there is no
// record to transfer in, so nothing moves. Returns the bytes really moved:
// a run stops at an address that no record covers, and at the end of the
// file, after which the cursor is clear.
template <bool Write>
uint32_t transfer(Image& image, std::conditional_t<Write, const uint8_t*, uint8_t*> buffer, uint32_t count) {
  RecordCursor& cursor = image.cursor;
  if (cursor.address == 0) return 0;
  auto move = [&](uint32_t offset, uint32_t n) -> uint32_t {
    BinStream& stream = *image.stream;
    const int64_t at = stream.tell();
    size_t done;
    if constexpr (Write) {
      if (image.transaction != nullptr) {
        image.transaction->stage(at, cursor.header_position, buffer + offset, n);
        stream.seek(at + n);
        done = n;
      } else {
        done = stream.write(buffer + offset, n);
        refresh_record_checksum(image);
      }
    } else {
      done = stream.read(buffer + offset, n);
      if (image.transaction != nullptr) image.transaction->overlay(at, buffer + offset, done);
    }
    return static_cast<uint32_t>(done);
  };

  if (cursor.remaining >= count) {
    if (count == 0) return 0;
    cursor.address += count;
    cursor.remaining -= count;
    return move(0, count);
  }
  uint32_t total = 0;
  uint32_t wanted = count;
  for (;;) {
    if (cursor.remaining != 0) {
      uint32_t chunk = std::min(cursor.remaining, wanted);
      uint32_t done = move(total, chunk);
      if (done < chunk) {
        image.cursor = {};
        return total + done;
      }
      wanted -= chunk;
      cursor.address += chunk;
      total += chunk;
    }
    if (locate_address(image, cursor.address) == 0 || wanted == 0) return total;
  }
}

// Bytes a transfer of count bytes would really move when it starts at the
// image's own address at, data_position, with remaining bytes left in the
// current stretch. Like a transfer it stops where a continuation would be
// at address 0.
uint32_t reach(Image& image, uint32_t at, uint32_t remaining, int64_t data_position, uint32_t count) {
  uint32_t total = 0;
  while (total < count) {
    uint32_t chunk = std::min(remaining, count - total);
    int64_t present = image.store->file_size() - data_position;
    if (chunk > 0 && present < chunk) return total + static_cast<uint32_t>(std::max<int64_t>(present, 0));
    total += chunk;
    at += chunk;
    if (total == count) break;
    Stretch next;
    if (at + image.rom_offset == 0 || !find_stretch(image, at, next)) break;
    remaining = held_from(next, at, at + image.rom_offset);
    data_position = next.data_position + (at - next.address);
  }
  return total;
}

}  // namespace

uint32_t read_image(Image& image, void* buffer, uint32_t count) {
  return transfer<false>(image, static_cast<uint8_t*>(buffer), count);
}

uint32_t write_image(Image& image, const void* buffer, uint32_t count) {
  // The walk of the file table reads its entries as it goes; the ones this
  // write would reach are read first, as they stood before it.
  image.file_table.read_ahead(image, image.cursor.address, count);
  return transfer<true>(image, static_cast<const uint8_t*>(buffer), count);
}

bool sum_record_data(BinStream& stream, int64_t data_position, uint32_t length, uint32_t& sum) {
  // In slices, so that a record of any length needs only a small buffer.
  static constexpr uint32_t kSlice = 1u << 16;
  std::vector<uint8_t> slice(std::min(length, kSlice));
  sum = 0;
  stream.seek(data_position);
  for (uint32_t summed = 0; summed < length;) {
    const uint32_t want = std::min(length - summed, kSlice);
    if (stream.read(slice.data(), want) != want) return false;
    for (uint32_t i = 0; i < want; ++i) sum += slice[i];
    summed += want;
  }
  return true;
}

int refresh_record_checksum(Image& image) {
  BinStream& stream = *image.stream;
  const int64_t saved = stream.tell();
  const int64_t header_position = image.cursor.header_position;
  // A raw image has no record, and so no checksum to keep right.
  if (header_position <= 0) return 1;
  // A record cut short by the end of the file keeps the checksum it has.
  BinRecord record;
  if (BinRecord::read(stream, header_position, record) &&
      sum_record_data(stream, header_position + kRecordHeaderSize, record.length, record.checksum)) {
    uint8_t header[kRecordHeaderSize];
    record.store(header);
    stream.seek(header_position);
    stream.write(header, sizeof header);
  }
  stream.seek(saved);
  return 1;
}

uint32_t measure_image(Image& image, uint32_t address, uint32_t count) {
  Stretch stretch;
  const uint32_t at = address - image.rom_offset;
  if (address == 0 || !find_stretch(image, at, stretch)) return 0;
  return reach(image, at, held_from(stretch, at, address), stretch.data_position + (at - stretch.address), count);
}

}  // namespace xipsaw
