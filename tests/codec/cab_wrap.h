// Wraps one LZX stream (window 2^16) of c bytes expanding to n <= 32768 bytes
// into a minimal cabinet holding a single file "out.bin", so that an
// independent cabinet extractor can decode the stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

inline std::vector<uint8_t> wrap_lzx_stream_in_cab(const uint8_t* stream, size_t c, size_t n) {
  static constexpr char kName[] = "out.bin";
  constexpr size_t kHeader = 36, kFolder = 8, kFile = 16 + sizeof kName, kData = 8;
  const size_t data_at = kHeader + kFolder + kFile;
  std::vector<uint8_t> cab;
  auto u8 = [&](uint32_t v) { cab.push_back(uint8_t(v)); };
  auto u16 = [&](uint32_t v) { u8(v & 0xff), u8(v >> 8 & 0xff); };
  auto u32 = [&](uint32_t v) { u16(v & 0xffff), u16(v >> 16); };
  // CFHEADER: signature, size, offset of the file entries, version 1.3, one folder, one file.
  cab.insert(cab.end(), {'M', 'S', 'C', 'F'});
  u32(0), u32(uint32_t(data_at + kData + c)), u32(0), u32(kHeader + kFolder), u32(0);
  u8(3), u8(1), u16(1), u16(1), u16(0), u16(0), u16(0);
  // CFFOLDER: first data block, one block, LZX with a 2^16 window.
  u32(uint32_t(data_at)), u16(1), u16(0x1003);
  // CFFILE: size, offset in folder, folder 0, date 2020-01-01, time 0, archive bit, name.
  u32(uint32_t(n)), u32(0), u16(0), u16(0x5021), u16(0), u16(0x20);
  cab.insert(cab.end(), kName, kName + sizeof kName);
  // CFDATA: no checksum, compressed and uncompressed lengths, the stream.
  u32(0), u16(uint32_t(c)), u16(uint32_t(n));
  cab.insert(cab.end(), stream, stream + c);
  return cab;
}
