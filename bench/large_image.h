// A large generated image for the benchmarks: 4000 files of 1 to 32 KiB,
// one in five compressed (or none), and 200 modules of four sections (the
// second running elsewhere, as writable data does), in records of 64 KiB:
// about 64 MiB of stored data.
#pragma once

#include <random>
#include <string>

#include "image_builder.h"
#include "lzx_encoder.h"

namespace bench {

inline testkit::Bytes compress(const testkit::Bytes& data) {
  testkit::Bytes out(data.size() + data.size() / 8 + 1024);  // room for blocks stored as they are
  int32_t n = lzx::compress_buffer(data.data(), static_cast<uint32_t>(data.size()), out.data(),
                                   static_cast<uint32_t>(out.size()));
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

// Text-like content of n bytes.
inline testkit::Bytes content(std::mt19937& rng, size_t n) {
  static const char* words[] = {"coredll", "registry", "HKEY_LOCAL_MACHINE", "device", "driver", "0x0000", "\r\n"};
  testkit::Bytes b;
  while (b.size() < n) {
    const char* w = words[rng() % 7];
    b.insert(b.end(), w, w + std::char_traits<char>::length(w));
    b.push_back(' ');
  }
  b.resize(n);
  return b;
}

struct LargeImage {
  testkit::RomBuilder rom;
  testkit::BinBuilder bin;
  size_t stored = 0;  // bytes of file and section data
};

inline LargeImage large_image(bool packed = true) {
  LargeImage image;
  std::mt19937 rng(7);
  testkit::RomBuilder& rom = image.rom;
  rom.rom_header_address = 0x80001000;
  for (int i = 0; i < 200; ++i) {
    testkit::RomModule& m = rom.add_module("module" + std::to_string(i) + ".dll");
    for (uint32_t s = 0; s < 4; ++s) {
      testkit::Bytes data = content(rng, 2048 + rng() % 8192);
      m.sections.push_back({data, static_cast<uint32_t>(data.size()), 0x1000 * (s + 1), {}, 0, 0x60000020, true});
      image.stored += data.size();
    }
    // The second section is writable data that runs in RAM, below the code.
    m.sections[1].run_address = 0x01000000 + 0x10000 * static_cast<uint32_t>(i);
  }
  for (int i = 0; i < 4000; ++i) {
    testkit::Bytes data = content(rng, 1024 + rng() % 31744);
    if (packed && i % 5 == 0) {
      testkit::Bytes packed = compress(data);
      testkit::RomFile& f = rom.add_file("file" + std::to_string(i) + ".txt", packed, 0x800);
      f.real_size = static_cast<uint32_t>(data.size());
      image.stored += packed.size();
    } else {
      rom.add_file("file" + std::to_string(i) + ".txt", data);
      image.stored += data.size();
    }
  }
  image.bin = rom.layout();
  image.bin.max_record_length = 64 * 1024;
  return image;
}

}  // namespace bench
