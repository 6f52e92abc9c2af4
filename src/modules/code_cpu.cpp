#include "modules/code_cpu.h"

#include <algorithm>
#include <vector>

#include "common/le.h"
#include "modules/module_sections.h"
#include "modules/pe_layout.h"

namespace xipsaw {

namespace {

// Code read at most from one image: far more than the signatures need.
constexpr uint32_t kMaxCodeBytes = 4u << 20;
constexpr uint32_t kSlice = 64u << 10;

constexpr uint16_t kUnknownMachine = 0x0300;

// How often each family's signature is met in its own code, about: most ARM
// instructions run always (condition 0xE); a MIPS function returns with
// `jr ra` and moves its stack pointer twice (`addiu sp,sp,n`); an SH
// function returns with `rts`, and one that calls saves and restores `pr`
// (`sts.l pr,@-r15`, `lds.l @r15+,pr`); an x86 function builds its frame
// with `push ebp; mov ebp,esp`. In other code, or in data, each signature
// is met by chance only (the ARM one in one word of 16).
constexpr double kArmRate = 0.5;    // of words
constexpr double kMipsRate = 0.02;  // of words
constexpr double kShRate = 0.03;    // of halfwords
constexpr double kX86Rate = 0.0015; // of bytes
// The family whose signatures come nearest to their rate wins when they
// reach a quarter of it, at least twice as near as any other family's, and
// a few of them at least.
constexpr double kLeast = 0.25;
constexpr uint64_t kFewest = 8;

}  // namespace

void CpuSignatures::count(const uint8_t* code, uint32_t size) {
  for (uint32_t at = 0; at + 4 <= size; at += 4) {
    const uint32_t word = load_u32(code + at);
    ++words_;
    arm_ += (word >> 28) == 0xE;
    mips_ += word == 0x03E00008u || (word >> 16) == 0x27BDu;
  }
  for (uint32_t at = 0; at + 2 <= size; at += 2) {
    const uint16_t half = load_u16(code + at);
    ++halfwords_;
    sh_ += half == 0x000B || half == 0x4F22 || half == 0x4F26;
    sh4_ += half == 0xF3FD || half == 0xFBFD;  // fschg, frchg: only the SH4 has them
  }
  for (uint32_t at = 0; at + 3 <= size; at += 1) {
    ++bytes_;
    x86_ += code[at] == 0x55 && ((code[at + 1] == 0x8B && code[at + 2] == 0xEC) ||
                                 (code[at + 1] == 0x89 && code[at + 2] == 0xE5));
  }
}

CodeCpu CpuSignatures::decide() const {
  struct Family {
    CodeCpu cpu;
    uint64_t hits, total;
    double rate;
  };
  const Family families[] = {
      {{0x01C2, "ARM"}, arm_, words_, kArmRate},
      {{0x0166, "MIPS"}, mips_, words_, kMipsRate},
      {sh4_ != 0 ? CodeCpu{0x01A6, "SH4"} : CodeCpu{0x01A2, "SH3"}, sh_, halfwords_, kShRate},
      {{0x014C, "x86"}, x86_, bytes_, kX86Rate},
  };
  double best = 0, second = 0;
  const Family* winner = nullptr;
  for (const Family& f : families) {
    const double score = f.total == 0 ? 0 : static_cast<double>(f.hits) / static_cast<double>(f.total) / f.rate;
    if (score > best) {
      second = best;
      best = score;
      winner = &f;
    } else {
      second = std::max(second, score);
    }
  }
  if (winner == nullptr || best < kLeast || best < 2 * second || winner->hits < kFewest) return {};
  return winner->cpu;
}

CodeCpu cpu_of_code(Image& image, E32Layout layout) {
  CpuSignatures signatures;
  uint32_t budget = kMaxCodeBytes;
  std::vector<uint8_t> slice;
  for_each_section(image, layout, [&](const ModuleEntry&, const O32Entry& section) {
    if (!(section.flags & pe::kCode) || (section.flags & kCompressedSection) || section.stored_size == 0) return true;
    uint32_t left = std::min(section.stored_size, budget);
    if (locate_address(image, section.data_address) == 0) return true;
    // Whole words of the section go to the counts, a slice at a time.
    while (left >= 4) {
      slice.resize(std::min(left, kSlice) & ~3u);
      const uint32_t got = read_image(image, slice.data(), static_cast<uint32_t>(slice.size()));
      signatures.count(slice.data(), got);
      budget -= got;
      left -= got;
      if (got < slice.size()) break;
    }
    return budget >= 4;
  });
  return signatures.decide();
}

uint16_t machine_of_image(Image& image, E32Layout layout) {
  const uint16_t cpu = image.rom_header.cpu_type();
  if (cpu != 0) return cpu;
  const CodeCpu code = cpu_of_code(image, layout);
  return code.machine != 0 ? code.machine : kUnknownMachine;
}

}  // namespace xipsaw
