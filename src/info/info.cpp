#include "info/info.h"

#include <vector>

#include "common/le.h"
#include "modules/module_headers.h"
#include "output/messages.h"
#include "run/used_blocks.h"
#include "search/image_search.h"

namespace xipsaw {

namespace {

// The ROM header's fields under their customary names, in their order:
// 32-bit words, but for the two 16-bit ones at 68 and 70.
struct Field {
  const char* name;
  uint32_t offset;
  bool narrow;
};
constexpr Field kFields[] = {
    {"dllfirst", 0, false},          {"dlllast", 4, false},        {"physfirst", 8, false},
    {"physlast", 12, false},         {"nummods", 16, false},       {"ulRAMStart", 20, false},
    {"ulRAMFree", 24, false},        {"ulRAMEnd", 28, false},      {"ulCopyEntries", 32, false},
    {"ulCopyOffset", 36, false},     {"ulProfileLen", 40, false},  {"ulProfileOffset", 44, false},
    {"numfiles", 48, false},         {"ulKernelFlags", 52, false}, {"ulFSRamPercent", 56, false},
    {"ulDrivglobStart", 60, false},  {"ulDrivglobLen", 64, false}, {"usCPUType", 68, true},
    {"usMiscFlags", 70, true},       {"pExtensions", 72, false},   {"ulTrackingStart", 76, false},
    {"ulTrackingLen", 80, false}};


struct Compressed {
  uint32_t entries = 0;
  uint64_t stored = 0;
  uint64_t expanded = 0;
};

// The compressed sections of each module (stored against virtual size) and
// the compressed files (stored against real size), as the tables have them.
Compressed compressed_entries(Image& image, E32Layout layout) {
  Compressed c;
  const E32Offsets e32 = e32_offsets(layout);
  TableReader modules;
  ModuleEntry module;
  UsedBlocks tables;  // each section table counted once, however many modules point at it
  uint32_t earlier = 0;
  if (load_module_table(image, modules)) {
    while (next_module_entry(image, modules, module)) {
      uint8_t head[kE32SectionCount + 2] = {};
      if (tables.use(module.o32offset, 0, 0, earlier) != UsedBlocks::Use::first ||
          locate_address(image, module.e32offset) == 0 || measure_image(image, module.e32offset, e32.size) != e32.size ||
          read_image(image, head, sizeof head) != sizeof head || locate_address(image, module.o32offset) == 0)
        continue;
      std::vector<uint8_t> o32(size_t{kO32Size} * load_u16(head + kE32SectionCount));
      read_image(image, o32.data(), static_cast<uint32_t>(o32.size()));
      bool any = false;
      for (size_t at = 0; at < o32.size(); at += kO32Size) {
        const O32Entry section = O32Entry::parse(&o32[at]);
        if (!(section.flags & kCompressedSection)) continue;
        any = true;
        c.stored += section.stored_size;
        c.expanded += section.virtual_size;
      }
      c.entries += any ? 1 : 0;
    }
  }
  FileEntry file;
  if (load_file_table(image)) {
    while (next_file_entry(image, file)) {
      if (!(file.attributes & kCompressedFile)) continue;
      ++c.entries;
      c.stored += file.stored_size;
      c.expanded += file.real_size;
    }
  }
  return c;
}

uint32_t record_count(Image& image) {
  uint32_t count = 0;
  image.store->visit(*image.stream, [&count](uint32_t, uint32_t, int64_t) { return ++count != 0; });
  return count;
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
  if (image.kind == ImageKind::bin) {
    say(out, "container: BIN container, %u records\n", record_count(image));
    // Where the boot loader jumps once the image is in place.
    BinRecord end;
    if (find_end_record(*image.stream, image.first_record_position, end))
      say(out, "launch address: 0x%08x\n", end.length);
    else
      say(out, "launch address: none (no end record)\n");
  } else
    say(out, "container: raw image at file offset %s\n", offset_name(image.file_offset).c_str());
  // A raw image has no container to give its length: its ROM header does.
  const uint32_t length = image.kind == ImageKind::bin ? image.header.image_length
                                                       : load_u32(&rom.bytes[12]) - load_u32(&rom.bytes[8]);
  say(out, "image start: 0x%08x\n", image.header.image_start);
  say(out, "image length: 0x%08x\n", length);
  say(out, "rom offset: 0x%08x\n", image.rom_offset);
  const E32Layout layout = decide_e32_layout(image);
  say(out, "e32 layout: %s\n", layout_name(layout));
  for (const Field& f : kFields) {
    if (!f.narrow) {
      say(out, "%s: 0x%08x\n", f.name, load_u32(&rom.bytes[f.offset]));
      continue;
    }
    const uint16_t value = load_u16(&rom.bytes[f.offset]);
    if (f.offset == 68)
      say(out, "%s: 0x%04x (%s)\n", f.name, value, cpu_name(value));
    else
      say(out, "%s: 0x%04x\n", f.name, value);
  }
  say(out, "modules: %u\n", rom.module_count());
  say(out, "files: %u\n", rom.file_count());
  const Compressed c = compressed_entries(image, layout);
  say(out, "compressed: %u entries, %llu stored bytes for %llu expanded bytes\n", c.entries,
      static_cast<unsigned long long>(c.stored), static_cast<unsigned long long>(c.expanded));
}

}  // namespace xipsaw
