// Wraps LZX streams (window 2^16) into a minimal cabinet, one folder and one
// file per stream, so that an independent cabinet extractor can decode them.
// A stream of c bytes expands to n <= 32768 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct CabStream {
  const uint8_t* data;
  size_t c;
  size_t n;
};

// Files are named "out.bin" for a single stream, "out<k>.bin" otherwise.
inline std::vector<uint8_t> wrap_lzx_streams_in_cab(const std::vector<CabStream>& streams) {
  const size_t count = streams.size();
  auto name = [&](size_t k) { return count == 1 ? std::string("out.bin") : "out" + std::to_string(k) + ".bin"; };
  constexpr size_t kHeader = 36, kFolder = 8, kFile = 16, kData = 8;
  size_t files_size = 0;
  for (size_t k = 0; k < count; ++k) files_size += kFile + name(k).size() + 1;
  const size_t data_at = kHeader + kFolder * count + files_size;
  size_t total = data_at;
  for (const CabStream& s : streams) total += kData + s.c;

  std::vector<uint8_t> cab;
  cab.reserve(total);
  auto u8 = [&](uint32_t v) { cab.push_back(uint8_t(v)); };
  auto u16 = [&](uint32_t v) { u8(v & 0xff), u8(v >> 8 & 0xff); };
  auto u32 = [&](uint32_t v) { u16(v & 0xffff), u16(v >> 16); };
  // CFHEADER: signature, size, offset of the file entries, version 1.3, folder and file counts.
  cab.insert(cab.end(), {'M', 'S', 'C', 'F'});
  u32(0), u32(uint32_t(total)), u32(0), u32(uint32_t(kHeader + kFolder * count)), u32(0);
  u8(3), u8(1), u16(uint32_t(count)), u16(uint32_t(count)), u16(0), u16(0), u16(0);
  // CFFOLDER: its data block, one block, LZX with a 2^16 window.
  size_t at = data_at;
  for (const CabStream& s : streams) {
    u32(uint32_t(at)), u16(1), u16(0x1003);
    at += kData + s.c;
  }
  // CFFILE: size, offset in folder, folder, date 2020-01-01, time 0, archive bit, name.
  for (size_t k = 0; k < count; ++k) {
    u32(uint32_t(streams[k].n)), u32(0), u16(uint32_t(k)), u16(0x5021), u16(0), u16(0x20);
    const std::string file = name(k);
    cab.insert(cab.end(), file.begin(), file.end());
    u8(0);
  }
  // CFDATA: no checksum, compressed and uncompressed lengths, the stream.
  for (const CabStream& s : streams) {
    u32(0), u16(uint32_t(s.c)), u16(uint32_t(s.n));
    cab.insert(cab.end(), s.data, s.data + s.c);
  }
  return cab;
}

inline std::vector<uint8_t> wrap_lzx_stream_in_cab(const uint8_t* stream, size_t c, size_t n) {
  return wrap_lzx_streams_in_cab({{stream, c, n}});
}
