#include "modules/pe_rebuild.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "common/le.h"
#include "output/messages.h"
#include "extraction/block_claims.h"
#include "extraction/failure_report.h"
#include "extraction/stored_data.h"
#include "modules/code_cpu.h"
#include "modules/pe_layout.h"
#include "modules/run_layout.h"

namespace xipsaw {

namespace {

using namespace pe;

// ---- The PE file --------------------------------------------------------

constexpr uint8_t kDosStub[64] = {0x0E, 0x1F, 0xBA, 0x0E, 0x00, 0xB4, 0x09, 0xCD, 0x21, 0xB8, 0x01, 0x4C, 0xCD,
                                  0x21, 'T',  'h',  'i',  's',  ' ',  'p',  'r',  'o',  'g',  'r',  'a',  'm',
                                  ' ',  'c',  'a',  'n',  'n',  'o',  't',  ' ',  'b',  'e',  ' ',  'r',  'u',
                                  'n',  ' ',  'i',  'n',  ' ',  'D',  'O',  'S',  ' ',  'm',  'o',  'd',  'e',
                                  '.',  '\r', '\r', '\n', '$'};  // then 7 zero bytes

constexpr uint64_t align_up(uint64_t offset) { return pe::align_up(offset, kFileAlignment); }

// Seconds since 1970 from a count of 100-ns intervals since 1601, modulo 2^32.
uint32_t time_date_stamp(const ModuleEntry& module) {
  const auto t = static_cast<int64_t>(filetime_of(module));
  return static_cast<uint32_t>(static_cast<uint64_t>(t / 10000000) + 0x49EF6F00u);
}

SectionKind kind_of(const O32Entry& s, const uint8_t* directories) {
  auto matches = [&](int directory) {
    const uint8_t* pair = directories + 8 * directory;
    return s.rva == load_u32(pair) && s.virtual_size == load_u32(pair + 4);
  };
  if (matches(kResourceDirectory)) return kRsrc;
  if (matches(kExceptionDirectory)) return kPdata;
  if (s.flags & kCode) return kText;
  if (s.flags & kInitializedData) return kData;
  if (s.flags & kUninitializedData) return kPdata;
  return kOther;
}

}  // namespace

std::vector<uint8_t> rebuilt_headers(uint16_t machine, const ModuleEntry& module, const ModuleRecords& records,
                                     SectionNameCounters& names, bool unpacking) {
  const std::vector<O32Entry>& sections = records.sections;
  const size_t count = sections.size();
  const uint8_t* e32 = records.e32;
  const E32Offsets layout = records.offsets;
  const uint8_t* directories = e32 + layout.directories;
  const bool imports = load_u32(records.directory(kImportDirectory)) != 0;
  std::vector<uint8_t> h(align_up(kSectionTable + kSectionHeaderSize * (count + (unpacking && imports ? 1 : 0))), 0);

  // DOS header and stub; 0x80 to 0xC0 stays zero.
  store_u16(&h[0x00], 0x5A4D);
  store_u16(&h[0x02], 0x0090);
  store_u16(&h[0x04], 0x0003);
  store_u16(&h[0x08], 0x0004);
  store_u16(&h[0x0C], 0xFFFF);
  store_u16(&h[0x10], 0x00B8);
  store_u16(&h[0x18], 0x0040);
  store_u32(&h[0x3C], kNtHeaders);
  std::copy(std::begin(kDosStub), std::end(kDosStub), &h[0x40]);

  uint32_t size_of_code = 0, size_of_data = 0, size_of_bss = 0, base_of_code = 0, base_of_data = 0;
  bool have_code = false, have_data = false;
  for (const O32Entry& s : sections) {
    if (s.flags & kCode) {
      size_of_code += s.virtual_size;
      if (!have_code) base_of_code = s.rva, have_code = true;
    }
    if (s.flags & kInitializedData) {
      size_of_data += s.virtual_size;
      if (!have_data) base_of_data = s.rva, have_data = true;
    }
    if (s.flags & kUninitializedData) size_of_bss += s.virtual_size;
  }

  // File header.
  uint8_t* nt = &h[kNtHeaders];
  nt[0] = 'P';
  nt[1] = 'E';
  store_u16(nt + 0x04, machine);
  store_u16(nt + kNumberOfSections, static_cast<uint32_t>(count));
  store_u32(nt + 0x08, time_date_stamp(module));
  store_u16(nt + 0x14, 0x00E0);
  store_u16(nt + 0x16, load_u16(e32 + kE32ImageFlags) | 0x0001u);

  // Optional header; the fields not set here are 0.
  uint8_t* opt = &h[kOptionalHeader];
  store_u16(opt + 0x00, 0x010B);
  opt[0x02] = 6;
  opt[0x03] = 1;
  store_u32(opt + 0x04, size_of_code);
  store_u32(opt + 0x08, size_of_data);
  store_u32(opt + 0x0C, size_of_bss);
  store_u32(opt + kEntryPoint, load_u32(e32 + kE32EntryPoint));
  store_u32(opt + kBaseOfCode, base_of_code);
  store_u32(opt + kBaseOfData, base_of_data);
  store_u32(opt + kImageBase, load_u32(e32 + kE32ImageBase));
  store_u32(opt + 0x20, 0x1000);
  store_u32(opt + 0x24, kFileAlignment);
  store_u16(opt + 0x28, 4);
  store_u16(opt + 0x30, load_u16(e32 + kE32SubsystemMajor));
  store_u16(opt + 0x32, load_u16(e32 + kE32SubsystemMinor));
  store_u32(opt + kSizeOfImage, load_u32(e32 + kE32ImageSize));
  store_u16(opt + 0x44, load_u16(e32 + layout.subsystem));
  store_u32(opt + 0x48, load_u32(e32 + kE32StackReserve));
  store_u32(opt + 0x4C, 0x1000);
  store_u32(opt + 0x50, 0x100000);
  store_u32(opt + 0x54, 0x1000);
  store_u32(opt + 0x5C, 16);
  // Data directories 0-4, 7 and 8 from the image; the base relocation (5)
  // and debug (6) pairs are dropped, and 14 is the COM descriptor.
  for (int d : {0, 1, 2, 3, 4, 7, 8}) std::copy_n(directories + 8 * d, 8, opt + kDataDirectories + 8 * d);
  std::copy_n(e32 + kE32ComDirectory, 8, opt + kDataDirectories + 8 * 14);

  // Section headers, named in order from the run-wide counters.
  for (size_t i = 0; i < count; ++i) {
    const O32Entry& s = sections[i];
    uint8_t* sh = &h[kSectionTable + kSectionHeaderSize * i];
    const std::string name = names.next(kind_of(s, directories));
    std::copy(name.begin(), name.end(), sh);
    store_u32(sh + kVirtualSize, s.virtual_size);
    store_u32(sh + kVirtualAddress, s.rva);
    store_u32(sh + kCharacteristics, s.flags & ~kCompressedSection);
  }
  return h;
}

uint32_t with_whole_tables(const ModuleRecords& records, const O32Entry& s, uint32_t written) {
  uint64_t length = written;
  for (int d : {kExportDirectory, kImportDirectory, kResourceDirectory}) {
    const uint32_t rva = load_u32(records.directory(d)), size = load_u32(records.directory(d) + 4);
    if (size != 0 && rva - s.rva < s.virtual_size)
      length = std::max(length, std::min<uint64_t>(uint64_t{rva - s.rva} + size, s.virtual_size));
  }
  return static_cast<uint32_t>(length);
}

std::vector<uint32_t> run_addresses_of(const std::vector<O32Entry>& sections, uint32_t base) {
  auto shift = [base](const O32Entry& s) { return s.run_address - (base + s.rva); };
  const uint32_t first = sections.empty() ? 0 : shift(sections.front());
  bool alias = first != 0;
  std::vector<uint32_t> run_addresses;
  for (const O32Entry& s : sections) {
    alias = alias && s.run_address != 0 && shift(s) == first;
    run_addresses.push_back(s.run_address);
  }
  if (alias) run_addresses.assign(sections.size(), 0);
  return run_addresses;
}

RebuildSettings decide_rebuild_settings(Image& image) {
  const E32Layout layout = decide_e32_layout(image);
  return {layout, machine_of_image(image, layout)};
}

int rebuild_executable(Run& run, const ModuleEntry& module, const RebuildSettings& settings, OutputFile& output) {
  Image& image = run.image;
  ModuleRecords records;
  if (const char* failure = read_module_records(image, module, settings.layout, records)) {
    report_failure(run, "%s", failure);
    return 0;
  }
  const std::vector<O32Entry>& sections = records.sections;
  const uint32_t count = static_cast<uint32_t>(sections.size());
  const bool unpacking = run.policy.run_addresses;
  std::vector<uint8_t> headers = rebuilt_headers(settings.machine, module, records, run.section_names, unpacking);
  output.write(headers.data(), headers.size());

  uint64_t offset = headers.size();
  for (uint32_t i = 0; i < count && !output.failed(); ++i) {
    const O32Entry& s = sections[i];
    uint8_t* sh = &headers[kSectionTable + kSectionHeaderSize * i];
    store_u32(sh + kPointerToRawData, static_cast<uint32_t>(offset));
    // A section with nothing stored is an empty section here, wherever its
    // data address points: loaders cut to the size their boot ROM loads end
    // where such a section begins.
    if (s.stored_size == 0) continue;
    // Data that an earlier entry used, or that the image does not hold,
    // ends the rebuild with the headers of the sections before. unpack
    // writes the section empty instead, and says so: stepping-stone
    // loaders are cut to the size their boot ROM loads, which may leave
    // out a section's data.
    const bool claimed = claim_block(run, s.data_address, s.stored_size, module.name_address);
    const bool held = claimed && locate_address(image, s.data_address) != 0;
    if (claimed && !held && run.policy.whole_entries_only) {
      std::string name(reinterpret_cast<const char*>(sh), 8);
      name.resize(std::min(name.find('\0'), name.size()));
      report_failure(run, "the data of section %s is not in the image\n", name.c_str());
      continue;
    }
    if (!held) {
      if (claimed) report_failure(run, "Unable to read block file\n");
      store_u32(sh + kPointerToRawData, 0);
      output.write_at(0, headers.data(), headers.size());
      return 0;
    }
    // Only the bytes the image holds are taken, however large stored_size is.
    const bool compressed = (s.flags & kCompressedSection) != 0;
    uint32_t written = 0;
    if (!write_stored_data(run, output, s.stored_size, s.virtual_size, compressed, written) && run.policy.whole_entries_only)
      return 0;
    // The image builder leaves out the zeros at the end of a section's
    // data, which may end a link table in it: unpack writes them, so that
    // each table lies whole in the file.
    if (unpacking) {
      const uint32_t whole = with_whole_tables(records, s, written);
      output.write_zeros(whole - written);
      written = whole;
    }
    output.write_zeros(align_up(written) - written);
    store_u32(sh + kSizeOfRawData, written);
    offset += align_up(written);
  }

  store_u32(&headers[kOptionalHeader + kSizeOfHeaders], static_cast<uint32_t>(headers.size()));
  if (run.policy.run_addresses && !output.failed()) {
    const std::vector<uint32_t> run_addresses = run_addresses_of(sections, load_u32(records.e32 + kE32ImageBase));
    if (const char* reason = place_at_run_addresses(headers, run_addresses, output, &run.export_names))
      say(run.out, "%s: written at its stored layout (%s)\n", printable(module.name).c_str(), reason);
  }
  output.write_at(0, headers.data(), headers.size());
  return output.failed() ? 0 : 1;
}

}  // namespace xipsaw
