#include "info/info.h"

#include <optional>

#include "common/le.h"
#include "compressed/compressed_entries.h"
#include "modules/code_cpu.h"
#include "modules/module_headers.h"
#include "output/messages.h"

namespace xipsaw {

namespace {


struct Compressed {
  uint32_t entries = 0;
  uint64_t stored = 0;
  uint64_t expanded = 0;
};

// The compressed sections of each module (stored against virtual size) and
// the compressed files (stored against real size), as the tables have them.
Compressed compressed_entries(Image& image, E32Layout layout) {
  Compressed c;
  uint64_t last = UINT64_MAX;
  for_each_compressed_entry(image, layout, [&](const CompressedEntry& entry) {
    c.entries += entry.entry != last ? 1 : 0;
    last = entry.entry;
    c.stored += entry.stored_size;
    c.expanded += entry.expanded_size;
    return true;
  });
  return c;
}

}  // namespace

const char* cpu_name(uint16_t cpu_type) {
  switch (cpu_type) {
    case 0x01C0: return "ARM";
    case 0x01C2: return "ARM Thumb";
    case 0x0166: return "MIPS R4000";
    case 0x0366: return "MIPS with FPU";
    case 0x0266: return "MIPS16";
    case 0x014C: return "x86";
    case 0x01A2: return "SH3";
    case 0x01A6: return "SH4";
    default: return "unknown";
  }
}

void describe_image(Run& run) {
  Image& image = run.image;
  std::FILE* out = run.out;
  const RomHeader& rom = image.rom_header;
  ImageStore& store = *image.store;
  say(out, "container: %s\n", store.describe(*image.stream).c_str());
  // Where the boot loader jumps once the image is in place: what convert
  // bin writes, unless the container's kind keeps one and it lacks it.
  if (const std::optional<uint32_t> recorded = store.launch_address(*image.stream))
    say(out, "launch address: 0x%08x\n", *recorded);
  else if (store.records_launch_address())
    say(out, "launch address: none (no end record)\n");
  else
    say(out, "launch address: 0x%08x\n", launch_address(image));
  say(out, "image start: 0x%08x\n", store.first_address());
  // A raw image has no container to give its length: its ROM header does.
  say(out, "image length: 0x%08x\n", image_length(image));
  say(out, "rom offset: 0x%08x\n", image.rom_offset);
  const E32Layout layout = decide_e32_layout(image);
  say(out, "e32 layout: %s\n", layout_name(layout));
  for (const RomHeaderField& f : kRomHeaderFields) {
    if (!f.narrow) {
      say(out, "%s: 0x%08x\n", f.name, rom.word(f.offset));
      continue;
    }
    const uint16_t value = load_u16(&rom.bytes[f.offset]);
    // An image that gives no CPU type is described by its code.
    const CodeCpu code = f.offset == kRomCpuType && value == 0 ? cpu_of_code(image, layout) : CodeCpu{};
    if (code.name != nullptr)
      say(out, "%s: 0x%04x (%s; the code is %s)\n", f.name, value, cpu_name(value), code.name);
    else if (f.offset == kRomCpuType)
      say(out, "%s: 0x%04x (%s)\n", f.name, value, cpu_name(value));
    else
      say(out, "%s: 0x%04x\n", f.name, value);
  }
  say(out, "modules: %u\n", rom.module_count());
  say(out, "files: %u\n", rom.file_count());
  const Compressed c = compressed_entries(image, layout);
  say(out, "compressed: %u entries, %llu stored bytes for %llu expanded bytes\n", c.entries,
      static_cast<unsigned long long>(c.stored), static_cast<unsigned long long>(c.expanded));
  say(out, "compression format: %s\n", format_name(compression_format_of(image, layout)));
}

}  // namespace xipsaw
