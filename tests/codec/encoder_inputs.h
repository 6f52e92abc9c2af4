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

// Kinds of real ROM payloads, generated: tables of fixed-size records, a
// registry hive, MIPS and x86 code, CRLF and UTF-16 text.

inline void put16(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
inline void put32(Bytes& b, uint32_t v) { put16(b, v & 0xFFFF), put16(b, v >> 16); }

// National-language tables of 4-byte records, a section of each kind in
// turn: multibyte code to Unicode by code and Unicode to multibyte code by
// Unicode (ideographs in no order, kana and symbols in runs), 32-bit values
// below 2^16, character types, and sort keys.
inline Bytes nls_table(size_t n, uint32_t seed = 5) {
  std::mt19937 rng(seed);
  Bytes b;
  uint32_t lead = 0x81, unicode = 0x4E00, value = 0;
  for (unsigned section = 0; b.size() < n; ++section) {
    const size_t records = 512 + rng() % 2048;
    for (size_t r = 0; r < records; ++r) {
      switch (section % 5) {
        case 0: {  // {multibyte code, Unicode}
          const uint32_t trail = 0x40 + uint32_t(r % 189);
          if (trail == 0x40 && r) ++lead;
          const bool run = (lead & 7) == 1;
          put16(b, lead << 8 | trail);
          put16(b, run ? 0x3041 + uint32_t(r % 189) : 0x4E00 + rng() % 0x51A6);
          break;
        }
        case 1:  // {Unicode, multibyte code}, unmapped ones to the default
          put16(b, unicode++);
          put16(b, rng() % 5 == 0 ? 0x003F : (0x88 + rng() % 0x18) << 8 | (0x40 + rng() % 0xBC));
          break;
        case 2:  // ascending 32-bit offsets
          value = (value + 2 + rng() % 40) & 0xFFFF;
          put32(b, value);
          break;
        case 3: {  // character types: a few values in runs
          static const uint16_t types[] = {0x0020, 0x0104, 0x0101, 0x0102, 0x0110, 0x0084, 0x0048};
          const uint16_t t = types[(r / (1 + rng() % 6)) % 7];
          put16(b, t);
          put16(b, t == 0x0048 ? 0x0008 : 0x0000);
          break;
        }
        default:  // sort keys: weight, diacritic and case weights
          put16(b, 0x0E00 + uint32_t(r) * 2 + rng() % 2);
          b.push_back(rng() % 8 == 0 ? uint8_t(0x02 + rng() % 12) : 0x02);
          b.push_back(rng() % 3 == 0 ? 0x12 : 0x02);
          break;
      }
    }
  }
  b.resize(n);
  return b;
}

// A registry hive: 4 KiB pages of cells (size, signature, 32-bit links to
// other cells, key and value names, UTF-16 strings and DWORD data), with the
// free end of each page zeroed.
inline Bytes hive(size_t n, uint32_t seed = 6) {
  static const char* names[] = {"Drivers", "BuiltIn", "Dll", "Prefix", "Index", "Order", "FriendlyName", "Flags",
                                "IClass", "Keyboard", "Display", "Ioctl", "Priority256", "System", "Comm", "Serial"};
  static const char* strings[] = {"coredll.dll", "serial.dll", "COM", "{A32942B7-920C-486b-B0E6-92A702A99B35}",
                                  "Touch Panel", "\\Windows\\ceddk.dll", "Flash Disk"};
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n) {
    const size_t page = b.size();
    b.insert(b.end(), {'h', 'b', 'i', 'n'});
    put32(b, uint32_t(page)), put32(b, 4096);
    b.resize(page + 32, 0);
    while (b.size() - page < 3000) {
      const size_t cell = b.size();
      put32(b, 0);  // size, set below
      if (rng() % 3 == 0) {
        b.insert(b.end(), {'n', 'k'});
        put16(b, 0x20), put32(b, 0x01D2A3B4), put32(b, 0x5C6D7E8F);
        put32(b, uint32_t(page + rng() % 3000) & ~7u), put32(b, rng() % 6), put32(b, 0xFFFFFFFF);
        const char* name = names[rng() % std::size(names)];
        put16(b, uint32_t(std::char_traits<char>::length(name))), put16(b, 0);
        b.insert(b.end(), name, name + std::char_traits<char>::length(name));
      } else {
        b.insert(b.end(), {'v', 'k'});
        const char* name = names[rng() % std::size(names)];
        put16(b, uint32_t(std::char_traits<char>::length(name)));
        const char* text = rng() % 2 ? strings[rng() % std::size(strings)] : nullptr;
        if (text == nullptr) {
          put32(b, 0x80000004), put32(b, rng() % 4 ? rng() % 16 : rng()), put32(b, 4);
        } else {
          put32(b, 2 * uint32_t(std::char_traits<char>::length(text) + 1));
          put32(b, uint32_t(page + rng() % 3000) & ~7u), put32(b, 1);
        }
        b.insert(b.end(), name, name + std::char_traits<char>::length(name));
        for (const char* c = text; c && *c; ++c) put16(b, uint8_t(*c));
        if (text) put16(b, 0);
      }
      b.resize((b.size() + 7) & ~size_t(7), 0);
      const uint32_t size = uint32_t(-int32_t(b.size() - cell));
      for (int i = 0; i < 4; ++i) b[cell + i] = uint8_t(size >> (8 * i));
    }
    b.resize(page + 4096, 0);
  }
  b.resize(n);
  return b;
}

// MIPS code: prologues and epilogues, loads and stores off the stack and
// globals, calls to a few hundred functions, short branches, delay slots.
inline Bytes mips(size_t n, uint32_t seed = 7) {
  std::mt19937 rng(seed);
  Bytes b;
  auto reg = [&] { return 2 + rng() % 24; };
  while (b.size() < n) {
    const uint32_t frame = 8 * (3 + rng() % 12);
    put32(b, 0x27BD0000 | (-frame & 0xFFFF));  // addiu sp, sp, -frame
    put32(b, 0xAFBF0000 | (frame - 4));        // sw ra, frame-4(sp)
    for (unsigned i = 0, saved = rng() % 4; i < saved; ++i) put32(b, 0xAFB00000 | (i + 16) << 16 | (frame - 8 - 4 * i));
    for (unsigned body = 4 + rng() % 30; body-- > 0;) {
      switch (rng() % 7) {
        case 0: put32(b, 0x0C000000 | (0x4000 + (rng() % 300) * 0x20)), put32(b, 0); break;  // jal, nop
        case 1: put32(b, 0x8FA00000 | reg() << 16 | (rng() % 16) * 4); break;               // lw r, x(sp)
        case 2: put32(b, 0x3C000000 | reg() << 16 | (0x1000 + rng() % 4)); break;           // lui
        case 3: put32(b, 0x24000000 | reg() << 21 | reg() << 16 | (rng() % 64)); break;     // addiu
        case 4: put32(b, 0x10000000 | reg() << 21 | reg() << 16 | (rng() % 32)), put32(b, 0); break;
        case 5: put32(b, 0x8C000000 | reg() << 21 | reg() << 16 | (rng() % 32) * 4); break;  // lw
        default: put32(b, 0x00000021 | reg() << 21 | reg() << 11); break;                   // move
      }
    }
    put32(b, 0x8FBF0000 | (frame - 4));  // lw ra
    put32(b, 0x03E00008);                // jr ra
    put32(b, 0x27BD0000 | frame);        // addiu sp, sp, frame
  }
  b.resize(n);
  return b;
}

// x86 code of a PE file: functions with frames, calls (E8) to a few hundred
// functions, indirect calls through the import table, pushes and moves.
inline Bytes pe_code(size_t n, uint32_t seed = 8) {
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n) {
    b.insert(b.end(), {0x55, 0x8B, 0xEC});
    if (rng() % 2) b.insert(b.end(), {0x83, 0xEC, uint8_t(4 * (1 + rng() % 16))});
    for (unsigned body = 3 + rng() % 20; body-- > 0;) {
      switch (rng() % 6) {
        case 0: {
          const int32_t target = int32_t(0x1000 + (rng() % 300) * 0x40);
          b.push_back(0xE8);
          put32(b, uint32_t(target - int32_t(b.size() + 4)));
          break;
        }
        case 1: b.insert(b.end(), {0xFF, 0x15}), put32(b, 0x10001000 + (rng() % 40) * 4); break;
        case 2: b.insert(b.end(), {0x8B, 0x45, uint8_t(8 + 4 * (rng() % 4))}); break;
        case 3: b.insert(b.end(), {0x6A, uint8_t(rng() % 4)}); break;
        case 4: b.insert(b.end(), {0x89, uint8_t(0x45 + 8 * (rng() % 3)), uint8_t(0xFC - 4 * (rng() % 4))}); break;
        default: b.insert(b.end(), {0x85, 0xC0, 0x74, uint8_t(rng() % 32)}); break;
      }
    }
    b.insert(b.end(), {0x8B, 0xE5, 0x5D, 0xC3});
  }
  b.resize(n);
  return b;
}

// Lines of an initialization file, CRLF ended, in ASCII or UTF-16.
inline Bytes crlf_lines(size_t n, uint32_t seed, bool wide) {
  static const char* keys[] = {"HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\", "HKEY_LOCAL_MACHINE\\System\\",
                               "HKEY_CURRENT_USER\\ControlPanel\\"};
  static const char* names[] = {"Serial", "Display", "Keyboard", "Touch", "Power", "Audio", "NDIS", "USB"};
  static const char* values[] = {"Dll", "Prefix", "Index", "Order", "Flags", "FriendlyName", "IClass"};
  std::mt19937 rng(seed);
  std::string t;
  while (t.size() < n) {
    const unsigned kind = rng() % 8;
    const std::string value = "    \"" + std::string(values[rng() % 7]) + "\"=";
    if (kind == 0) t += "; " + std::string(names[rng() % 8]) + " settings of the device\r\n";
    else if (kind == 1) t += "\r\n[" + std::string(keys[rng() % 3]) + names[rng() % 8] + "]\r\n";
    else if (kind < 5) t += value + "dword:" + std::to_string(10000000 + rng() % 90) + "\r\n";
    else t += value + "\"" + names[rng() % 8] + ".dll\"\r\n";
  }
  Bytes b;
  for (char c : t) {
    b.push_back(uint8_t(c));
    if (wide) b.push_back(0);
  }
  b.resize(n);
  return b;
}
inline Bytes crlf_text(size_t n, uint32_t seed = 9) { return crlf_lines(n, seed, false); }
inline Bytes utf16_text(size_t n, uint32_t seed = 10) { return crlf_lines(n, seed, true); }

// Random 'a' and 'b': every position has long lists of matches.
inline Bytes two_letters(size_t n, uint32_t seed = 11) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = uint8_t('a' + rng() % 2);
  return b;
}

struct Kind {
  const char* name;
  Bytes (*make)(size_t n, uint32_t seed);
};

inline Bytes zeros(size_t n, uint32_t) { return Bytes(n, 0); }

inline const Kind kKinds[] = {{"text", text},         {"zeros", zeros},        {"random", random},     {"x86", x86},
                              {"repeats", repeats},   {"nls table", nls_table}, {"hive", hive},         {"mips", mips},
                              {"pe code", pe_code},   {"crlf text", crlf_text}, {"utf-16 text", utf16_text},
                              {"a and b", two_letters}};

}  // namespace encoder_inputs
