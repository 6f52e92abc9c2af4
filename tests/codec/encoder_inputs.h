// Inputs of the encoder tests: kinds of data that exercise different parts
// of the encoder (literal-heavy, match-heavy, incompressible, E8 calls).
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace encoder_inputs {

using Bytes = std::vector<uint8_t>;

inline Bytes text(size_t n, uint32_t seed = 1) {
  static const char* words[] = {"[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial]", "\"Dll\"=\"serial.dll\"",
                                "\"Prefix\"=\"COM\"", "\"Index\"=dword:", "\"Order\"=dword:", "\r\n", "; ", "the ",
                                "device ", "driver ", "registry ", "file system "};
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n) {
    const std::string w = words[rng() % std::size(words)];
    b.insert(b.end(), w.begin(), w.end());
    if (rng() % 4 == 0) b.push_back(uint8_t('0' + rng() % 10));
  }
  b.resize(n);
  return b;
}

inline Bytes random(size_t n, uint32_t seed = 2) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = uint8_t(rng());
  return b;
}

// Code-like bytes full of E8 call opcodes with targets of every kind:
// small relative ones, ones that cross the translation range's edges, and
// E8 bytes at every distance from the end of a 4096-byte block.
inline Bytes x86(size_t n, uint32_t seed = 3) {
  std::mt19937 rng(seed);
  Bytes b;
  auto call = [&b](int32_t target) {
    b.push_back(0xE8);
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(uint32_t(target) >> (8 * i)));
  };
  while (b.size() < n) {
    const int32_t i = int32_t(b.size() % 4096);
    switch (rng() % 8) {
      case 0: call(int32_t(rng() % 2048) - 1024); break;
      case 1: call(-i); break;                  // just inside the range
      case 2: call(-i - 1); break;              // just outside
      case 3: call(12000000 - i - 1); break;    // the last value translated by addition
      case 4: call(12000000 - i); break;        // the first one wrapped below zero
      case 5: call(int32_t(rng())); break;
      case 6: b.insert(b.end(), {0x55, 0x8B, 0xEC, 0xE8, 0xE8}); break;
      default: b.insert(b.end(), {0x8B, 0x45, uint8_t(rng() % 64), 0xC3}); break;
    }
  }
  b.resize(n);
  for (size_t k = 4096 - 16; k < n && k < 4096; ++k)
    if (k % 3 == 0) b[k] = 0xE8;
  return b;
}

// Long repeats at every distance up to the block size, and runs.
inline Bytes repeats(size_t n, uint32_t seed = 4) {
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n) {
    if (b.size() < 16 || rng() % 3 == 0) {
      b.push_back(uint8_t(rng() % 16));
      continue;
    }
    const size_t dist = 1 + rng() % std::min<size_t>(b.size(), 4095);
    const size_t len = 2 + rng() % (rng() % 4 == 0 ? 300 : 12);
    for (size_t k = 0; k < len; ++k) b.push_back(b[b.size() - dist]);
  }
  b.resize(n);
  return b;
}

struct Kind {
  const char* name;
  Bytes (*make)(size_t n, uint32_t seed);
};

inline Bytes zeros(size_t n, uint32_t) { return Bytes(n, 0); }

inline const Kind kKinds[] = {{"text", text}, {"zeros", zeros}, {"random", random}, {"x86", x86}, {"repeats", repeats}};

}  // namespace encoder_inputs
