// The record stream: locating image addresses in the BIN file's records and
// transferring image bytes across them, keeping every written record's
// checksum right.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "common/le.h"
#include "image/image.h"
#include "image/transaction.h"

namespace xipsaw {

// ---- Record index ------------------------------------------------------

void RecordIndex::build(BinStream& stream, int64_t first_record_position) {
  built_ = true;
  records_.clear();
  file_size_ = std::max<int64_t>(stream.size(), 0);
  // The walk ends at the end record or where a whole header can no longer
  // be read; a record's data may run past the end of the file.
  int64_t position = first_record_position;
  while (position >= 0 && position + kRecordHeaderSize <= file_size_) {
    uint8_t header[kRecordHeaderSize];
    stream.seek(position);
    if (stream.read(header, sizeof header) != sizeof header) break;
    uint32_t address = load_u32(header);
    uint32_t length = load_u32(header + 4);
    if (address == 0) break;
    uint32_t end = address + length;
    if (end > address) records_.push_back({address, end, position});
    position += kRecordHeaderSize + static_cast<int64_t>(length);
  }

  by_address_.resize(records_.size());
  for (uint32_t i = 0; i < by_address_.size(); ++i) by_address_[i] = i;
  std::stable_sort(by_address_.begin(), by_address_.end(),
                   [this](uint32_t a, uint32_t b) { return records_[a].address < records_[b].address; });
  // A record overlaps another exactly when a record sorted before it ends
  // after its start, or the record sorted next starts before its end.
  overlapping_.assign(records_.size(), 0);
  uint32_t max_end = 0;
  for (size_t k = 0; k < by_address_.size(); ++k) {
    const RecordSpan& r = records_[by_address_[k]];
    bool overlaps = max_end > r.address ||
                    (k + 1 < by_address_.size() && records_[by_address_[k + 1]].address < r.end);
    overlapping_[by_address_[k]] = overlaps ? 1 : 0;
    max_end = std::max(max_end, r.end);
  }
}

const RecordSpan* RecordIndex::find(uint32_t address) const {
  auto it = std::upper_bound(by_address_.begin(), by_address_.end(), address,
                             [this](uint32_t a, uint32_t i) { return a < records_[i].address; });
  if (it == by_address_.begin()) return nullptr;
  uint32_t candidate = *(it - 1);
  if (!overlapping_[candidate]) return address < records_[candidate].end ? &records_[candidate] : nullptr;
  for (const RecordSpan& r : records_)
    if (r.address <= address && address < r.end) return &r;
  return nullptr;
}

// ---- Operations ----------------------------------------------------------

int read_bin_header(Image& image) {
  uint8_t bytes[kBinHeaderSize] = {};
  size_t got = image.stream.read(bytes, sizeof bytes);
  if (got < 7 || std::memcmp(bytes, kBinSignature, 7) != 0) return 0;
  std::memcpy(image.header.signature.data(), bytes, 7);
  image.header.image_start = load_u32(bytes + 7);
  image.header.image_length = load_u32(bytes + 11);
  image.first_record_position = image.stream.tell();
  image.cursor = {};
  return 1;
}

uint32_t locate_address(Image& image, uint32_t target) {
  if (!image.records.built()) image.records.build(image.stream, image.first_record_position);
  const RecordSpan* record = target != 0 ? image.records.find(target) : nullptr;
  if (record == nullptr) {
    image.cursor = {};
    return 0;
  }
  image.cursor.address = target;
  image.cursor.remaining = record->end - target;
  image.cursor.header_position = record->header_position;
  image.stream.seek(record->header_position + kRecordHeaderSize + (target - record->address));
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
    BinStream& stream = image.stream;
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

// Bytes a transfer of count bytes would really move when it starts at
// address, data_position, with remaining bytes left in the current record.
uint32_t reach(const Image& image, uint32_t address, uint32_t remaining, int64_t data_position, uint32_t count) {
  uint32_t total = 0;
  while (total < count) {
    uint32_t chunk = std::min(remaining, count - total);
    int64_t present = image.records.file_size() - data_position;
    if (chunk > 0 && present < chunk) return total + static_cast<uint32_t>(std::max<int64_t>(present, 0));
    total += chunk;
    address += chunk;
    if (total == count) break;
    const RecordSpan* next = image.records.find(address);
    if (next == nullptr) break;
    remaining = next->end - address;
    data_position = next->header_position + kRecordHeaderSize + (address - next->address);
  }
  return total;
}

}  // namespace

uint32_t read_image(Image& image, void* buffer, uint32_t count) {
  return transfer<false>(image, static_cast<uint8_t*>(buffer), count);
}

uint32_t write_image(Image& image, const void* buffer, uint32_t count) {
  return transfer<true>(image, static_cast<const uint8_t*>(buffer), count);
}

int refresh_record_checksum(Image& image) {
  BinStream& stream = image.stream;
  const int64_t saved = stream.tell();
  const int64_t header_position = image.cursor.header_position;
  uint8_t header[kRecordHeaderSize];
  stream.seek(header_position);
  if (header_position != 0 && stream.read(header, sizeof header) == sizeof header) {
    // Sum the data in slices, so that a record of any length needs only a
    // small buffer; a record cut short by the end of the file keeps the
    // checksum it has.
    uint32_t length = load_u32(header + 4);
    uint32_t sum = 0;
    uint32_t summed = 0;
    static constexpr uint32_t kSlice = 1u << 16;
    std::vector<uint8_t> slice(std::min(length, kSlice));
    while (summed < length) {
      uint32_t want = std::min(length - summed, kSlice);
      if (stream.read(slice.data(), want) != want) break;
      for (uint32_t i = 0; i < want; ++i) sum += slice[i];
      summed += want;
    }
    if (summed == length) {
      store_u32(header + 8, sum);
      stream.seek(header_position);
      stream.write(header, sizeof header);
    }
  }
  stream.seek(saved);
  return 1;
}

uint32_t measure_image(Image& image, uint32_t address, uint32_t count) {
  if (!image.records.built()) image.records.build(image.stream, image.first_record_position);
  const RecordSpan* record = address != 0 ? image.records.find(address) : nullptr;
  if (record == nullptr) return 0;
  return reach(image, address, record->end - address,
               record->header_position + kRecordHeaderSize + (address - record->address), count);
}

std::vector<uint8_t> read_image_bytes(Image& image, uint32_t count) {
  std::vector<uint8_t> bytes;
  if (image.cursor.address == 0) return bytes;
  bytes.resize(reach(image, image.cursor.address, image.cursor.remaining, image.stream.tell(), count));
  bytes.resize(read_image(image, bytes.data(), static_cast<uint32_t>(bytes.size())));
  return bytes;
}

}  // namespace xipsaw
