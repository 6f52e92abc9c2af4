// The BIN container as it lies in the file: a 15-byte header ("B000FF\n",
// then the image's start and length), then records, each a 12-byte header
// (address, length, checksum) followed by its data, up to the end record.
#pragma once

#include <cstdint>
#include <cstring>

#include "common/le.h"
#include "image/bin_stream.h"

namespace xipsaw {

inline constexpr char kBinSignature[] = "B000FF\n";  // 7 bytes, no NUL stored
inline constexpr uint32_t kBinSignatureSize = 7;
inline constexpr uint32_t kBinHeaderSize = 15;
inline constexpr uint32_t kRecordHeaderSize = 12;

struct BinHeader {
  uint32_t image_start = 0;
  uint32_t image_length = 0;

  // Whether the bytes begin with the signature.
  static bool signed_by(const uint8_t* bytes) { return std::memcmp(bytes, kBinSignature, kBinSignatureSize) == 0; }
  // The kBinHeaderSize bytes of a header, signature and all.
  static BinHeader parse(const uint8_t* bytes) { return {load_u32(bytes + 7), load_u32(bytes + 11)}; }
  void store(uint8_t* bytes) const {
    std::memcpy(bytes, kBinSignature, kBinSignatureSize);
    store_u32(bytes + 7, image_start);
    store_u32(bytes + 11, image_length);
  }
};

// Whether a record header ends the sequence: address 0 with checksum 0 (its
// length holds the entry point). A record at address 0 with a checksum is
// data, as loaders that begin at address 0 have it.
inline bool is_end_record(uint32_t address, uint32_t checksum) { return address == 0 && checksum == 0; }

struct BinRecord {  // the 12-byte header in front of each record's data
  uint32_t address = 0;  // 0 marks the end record (with checksum 0), whose length is the launch address
  uint32_t length = 0;
  uint32_t checksum = 0;  // byte sum of the data, modulo 2^32

  bool is_end() const { return is_end_record(address, checksum); }
  static BinRecord parse(const uint8_t* bytes) { return {load_u32(bytes), load_u32(bytes + 4), load_u32(bytes + 8)}; }
  void store(uint8_t* bytes) const {
    store_u32(bytes, address);
    store_u32(bytes + 4, length);
    store_u32(bytes + 8, checksum);
  }
  // Reads the header at position; false when the file does not hold all of
  // it. The stream is left just past it.
  static bool read(BinStream& stream, int64_t position, BinRecord& record) {
    uint8_t bytes[kRecordHeaderSize];
    stream.seek(position);
    if (stream.read(bytes, sizeof bytes) != sizeof bytes) return false;
    record = parse(bytes);
    return true;
  }
};

}  // namespace xipsaw
