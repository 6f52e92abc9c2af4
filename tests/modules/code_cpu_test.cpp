// The Machine of rebuilt executables where the ROM header gives no CPU type:
// told by the signatures of each CPU family in the image's code.
#include <gtest/gtest.h>

#include "module_testing.h"

using namespace testkit;
using namespace modtest;

namespace {

Bytes words32(std::initializer_list<uint32_t> words) {
  Bytes b;
  for (uint32_t w : words)
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(w >> (8 * i)));
  return b;
}

Bytes halfwords(std::initializer_list<uint16_t> halves) {
  Bytes b;
  for (uint16_t h : halves) b.insert(b.end(), {static_cast<uint8_t>(h), static_cast<uint8_t>(h >> 8)});
  return b;
}

// count copies of a function of each family, as its compilers make them.
Bytes repeated(const Bytes& function, int count) {
  Bytes b;
  for (int i = 0; i < count; ++i) b.insert(b.end(), function.begin(), function.end());
  return b;
}

// push {r4,lr}; mov r4,r0; bl; cmp r0,#0; beq; pop {r4,pc}
const Bytes kArm = words32({0xE92D4010, 0xE1A04000, 0xEB000010, 0xE3500000, 0x0A000002, 0xE8BD8010});
// addiu sp,sp,-24; sw ra,20(sp); jal; nop; lw ra,20(sp); jr ra; addiu sp,sp,24; then 9 other words
const Bytes kMips = words32({0x27BDFFE8, 0xAFBF0014, 0x0C000010, 0, 0x8FBF0014, 0x03E00008, 0x27BD0018, 0x00851021,
                             0x8C820000, 0x10400003, 0x24420001, 0xAC820000, 0x00021080, 0x00431021, 0x8C430004,
                             0x24630001});
// sts.l pr,@-r15; mov r4,r8; mov.l @(4,r8),r1; jsr @r1; nop; add #1,r0; lds.l @r15+,pr; rts; nop; ...
const Bytes kSh = halfwords({0x4F22, 0x6843, 0x5181, 0x410B, 0x0009, 0x7001, 0x2802, 0x6082, 0x3C0C, 0x4F26, 0x000B,
                             0x0009, 0x6133, 0x7104, 0x2412, 0x8801, 0x8B02, 0xE000, 0x6103, 0x3108});
const Bytes kX86 = {0x55, 0x8B, 0xEC, 0x83, 0xEC, 0x08, 0x8B, 0x45, 0x08, 0x8B, 0x4D, 0x0C, 0x03, 0xC1, 0x89,
                    0x45, 0xFC, 0x8B, 0x45, 0xFC, 0x50, 0xE8, 0x10, 0x00, 0x00, 0x00, 0x83, 0xC4, 0x04, 0x85,
                    0xC0, 0x74, 0x05, 0xB8, 0x01, 0x00, 0x00, 0x00, 0x8B, 0xE5, 0x5D, 0xC3};

struct Case {
  const char* what;
  Bytes code;
  uint16_t machine;
  const char* info;  // info's description of usCPUType 0
};

TEST(CodeCpu, MachineFromTheCodeWhereTheRomHeaderGivesNone) {
  Bytes sh4 = repeated(kSh, 40);
  put_u16(sh4, 22 * 2, 0xF3FD);  // one fschg: only the SH4 has it
  const std::vector<Case> cases = {
      {"ARM", repeated(kArm, 60), 0x01C2, "(unknown; the code is ARM)"},
      {"MIPS", repeated(kMips, 30), 0x0166, "(unknown; the code is MIPS)"},
      {"SH3", repeated(kSh, 40), 0x01A2, "(unknown; the code is SH3)"},
      {"SH4", sh4, 0x01A6, "(unknown; the code is SH4)"},
      {"x86", repeated(kX86, 30), 0x014C, "(unknown; the code is x86)"},
      // Data in a code section, or code too short to tell, says nothing.
      {"data", pattern(4096, 1), 0x0300, "(unknown)\n"},
      {"few", repeated(kMips, 2), 0x0300, "(unknown)\n"},
  };
  for (const Case& c : cases) {
    RomBuilder rom;
    // The code lies in one module; the Machine is every module's.
    add_marked(rom, "data.dll", 1);
    rom.add_module("code.exe").sections.push_back(plain(c.code, 0x4000, 0x1000, 0x60000020));
    ToolRun run;
    run_on(run, rom, {"extract"});
    EXPECT_EQ(Pe{run.file("code.exe")}.nt16(0x04), c.machine) << c.what;
    EXPECT_EQ(Pe{run.file("data.dll")}.nt16(0x04), c.machine) << c.what;
    run_on(run, rom, {"info"});
    EXPECT_NE(run.output.find(std::string("usCPUType: 0x0000 ") + c.info), std::string::npos) << c.what << run.output;

    // A CPU type in the ROM header is the Machine, whatever the code says.
    rom.cpu_type = 0x0166;
    run_on(run, rom, {"extract", "code.exe"});
    EXPECT_EQ(Pe{run.file("code.exe")}.nt16(0x04), 0x0166u) << c.what;
  }
}

}  // namespace
