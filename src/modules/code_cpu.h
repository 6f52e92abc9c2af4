// The CPU an image's code is for, told by the code itself: images of
// Windows CE 2.x give no CPU type in their ROM header, so that a rebuilt
// executable would tell a disassembler nothing.
#pragma once

#include <cstdint>

#include "modules/module_headers.h"

namespace xipsaw {

struct CodeCpu {
  uint16_t machine = 0;        // a PE Machine value; 0 when the code says nothing clearly
  const char* name = nullptr;  // "ARM", "MIPS", "SH3", "SH4" or "x86"
};

// Counts in a stretch of code the signatures of each CPU family.
class CpuSignatures {
 public:
  void count(const uint8_t* code, uint32_t size);
  CodeCpu decide() const;

 private:
  uint64_t words_ = 0, arm_ = 0, mips_ = 0;
  uint64_t halfwords_ = 0, sh_ = 0, sh4_ = 0;
  uint64_t bytes_ = 0, x86_ = 0;
};

// The CPU of the uncompressed code sections of the image's modules, of
// which at most a few MiB are read.
CodeCpu cpu_of_code(Image& image, E32Layout layout);

// The PE Machine value for the image's executables: the ROM header's CPU
// type, or where it gives none the one its code tells, or else 0x0300.
uint16_t machine_of_image(Image& image, E32Layout layout);

}  // namespace xipsaw
