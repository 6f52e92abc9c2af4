// Builds BIN files for tests: image bytes at chosen addresses, carried by
// records with chosen splits (gaps, overlaps, missing end record, truncated
// files), and on top of that a ROM layout with the "ECEC" signature, the ROM
// header, the module and file tables, names, executable headers and data.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testkit {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const std::string& text);
void put_u16(Bytes& b, size_t offset, uint32_t v);
void put_u32(Bytes& b, size_t offset, uint32_t v);
uint32_t get_u32(const Bytes& b, size_t offset);
uint16_t get_u16(const Bytes& b, size_t offset);

// One record as it will be written.
struct Record {
  uint32_t address = 0;
  Bytes data;
  std::optional<uint32_t> length;    // header length, when it should differ from data.size()
  std::optional<uint32_t> checksum;  // header checksum, when it should be wrong
  uint64_t hole = 0;                 // extra zero data bytes left as a hole in the file (write() only)
};

class BinBuilder {
 public:
  uint32_t image_start = 0x80000000u;
  std::optional<uint32_t> image_length;  // default: the extent of the content
  bool end_record = true;
  uint32_t launch_address = 0;           // the end record's length
  std::optional<size_t> truncate_to;     // cut the file to this many bytes
  std::string signature = "B000FF\n";

  // Image content. Later puts overwrite earlier ones.
  void put(uint32_t address, const Bytes& data);
  void put_u32(uint32_t address, uint32_t v);
  void put_u16(uint32_t address, uint32_t v);
  void put_string(uint32_t address, const std::string& s);  // with its NUL
  // The content at [address, address + n), zero where nothing was put.
  Bytes content(uint32_t address, uint32_t n) const;

  // Records. Without explicit records, every contiguous run of content
  // becomes one record, cut at every split address and into pieces of at
  // most max_record_length bytes.
  void split_at(uint32_t address) { splits_.push_back(address); }
  uint32_t max_record_length = 0;  // 0: no limit
  // An explicit record carrying the content of [address, address + length).
  void add_record(uint32_t address, uint32_t length);
  // An explicit record with data of its own, whatever the content says.
  void add_raw_record(Record record);
  std::vector<Record> records() const;

  // The same content and records, every address lower by offset (modulo
  // 2^32): the records of an image built with a ROM offset.
  BinBuilder moved_down(uint32_t offset) const;

  // The content from image_start to the end of the last content, zero
  // where nothing was put: the image as a raw file holds it.
  Bytes raw_image() const;

  Bytes build() const;                     // the whole file in memory (no holes)
  void write(const std::string& path) const;  // holes are left sparse

 private:
  std::map<uint32_t, Bytes> segments_;  // disjoint, non-adjacent runs of content
  std::vector<uint32_t> splits_;
  std::vector<Record> explicit_records_;
  bool explicit_ = false;
};

// A 32-bit sum of the bytes, the record checksum.
uint32_t byte_sum(const Bytes& data);

// ---- ROM layout ------------------------------------------------------

struct RomFile {
  std::string name;
  Bytes data;              // the stored bytes
  uint32_t attributes = 0;
  std::optional<uint32_t> real_size;    // default: data.size()
  std::optional<uint32_t> stored_size;  // default: data.size()
  uint64_t file_time = 0;
  uint32_t name_address = 0;  // 0: allocated
  uint32_t load_offset = 0;   // 0: allocated
  bool emit_name = true;
  bool emit_data = true;
};

struct RomSection {
  Bytes data;  // the stored bytes
  uint32_t virtual_size = 0;
  uint32_t rva = 0;
  std::optional<uint32_t> stored_size;  // default: data.size()
  uint32_t data_address = 0;            // 0: allocated
  uint32_t flags = 0;
  bool emit_data = true;
  uint32_t run_address = 0;             // where it runs; 0: base + rva
};

struct E32Fields {
  uint16_t image_flags = 0;
  uint32_t entry_point = 0;
  uint32_t image_base = 0x10000;
  uint16_t subsystem_major = 4;
  uint16_t subsystem_minor = 20;
  uint32_t stack_reserve = 0x10000;
  uint32_t image_size = 0;
  std::array<uint32_t, 2> com_directory{};
  std::array<std::array<uint32_t, 2>, 9> directories{};
  uint16_t subsystem = 9;
  std::optional<uint16_t> section_count;  // default: the number of sections
  uint32_t time_stamp = 0;                // stored only in the newer layout
};

struct RomModule {
  std::string name;
  uint32_t attributes = 0;
  uint64_t file_time = 0;
  uint32_t size = 0;
  uint32_t load_offset = 0;
  E32Fields e32;
  std::vector<RomSection> sections;
  uint32_t name_address = 0;  // 0: allocated
  uint32_t e32offset = 0;     // 0: allocated
  uint32_t o32offset = 0;     // 0: allocated
  bool emit_name = true;
  bool emit_e32 = true;
  bool emit_o32 = true;
};

// Lays out a ROM image: image_start + 0x40 holds "ECEC" and the ROM header
// address; the ROM header is followed by the module table and the file
// table; names, executable headers and data follow from data_start on, each
// at the next 4-byte boundary.
class RomBuilder {
 public:
  uint32_t image_start = 0x80000000u;
  uint32_t rom_header_address = 0x80001000u;
  uint32_t data_start = 0;  // 0: just after the file table
  std::optional<uint32_t> module_count;  // default: modules.size()
  std::optional<uint32_t> file_count;    // default: files.size()
  std::string ecec = "ECEC";
  uint16_t cpu_type = 0;    // the ROM header's, at offset 68
  uint32_t physfirst = 0;   // the ROM header's first and last address (offsets 8, 12)
  uint32_t physlast = 0;
  uint32_t ram_start = 0;   // ulRAMStart, ulRAMFree and ulRAMEnd (offsets 20, 24, 28)
  uint32_t ram_free = 0;
  uint32_t ram_end = 0;
  // Every address the image holds runs rom_offset above its records' (see
  // moved_down): the BIN header's image_start is image_start - rom_offset.
  uint32_t rom_offset = 0;
  bool newer_e32 = false;   // 110-byte E32 headers with the time stamp at 0x20
  std::vector<RomModule> modules;
  std::vector<RomFile> files;

  RomFile& add_file(const std::string& name, const Bytes& data, uint32_t attributes = 0);
  RomModule& add_module(const std::string& name);

  uint32_t module_table_address() const { return rom_header_address + 84; }
  uint32_t file_table_address() const;
  uint32_t file_entry_address(uint32_t index) const { return file_table_address() + index * 28; }

  // Assigns the addresses left 0 and writes everything into a BinBuilder.
  // The builder's addresses are filled in, so tests can read them back.
  BinBuilder layout();
};

// A loader's kernel as boards build it: nk.exe, system attribute, at
// load_offset, with one code section of `code` at RVA 0x1000.
RomModule& add_loader(RomBuilder& rom, uint32_t load_offset, const Bytes& code);

// The layout as a raw image: physfirst at its image_start, physlast at the
// end of its content, and the image's bytes from image_start on.
Bytes raw_image(RomBuilder& rom);

// A BIN file of almost 4 GiB that costs nothing on disk: one file, name,
// claims `claimed` bytes at 0x10000, where a record of 0xFFF00000 bytes is
// left as a hole. The ROM structures' records come first in the file, so
// they keep their addresses where the hole's record overlaps them.
BinBuilder sparse_image(const std::string& name, uint32_t claimed);

// Entries that each take most of what earlier ones took: count files
// (f0.bin, f1.bin, ...), or count sections of the one module run.dll, 128
// bytes apart in one run of 256 KiB at address, each to the run's end.
RomBuilder files_inside_one_run(uint32_t count, uint32_t address);
RomBuilder sections_inside_one_run(uint32_t count, uint32_t address);

}  // namespace testkit
