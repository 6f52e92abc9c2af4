// The chain from the "ECEC" signature to the ROM header and the two tables
// of contents, the names the entries point to, and the rewrite of a file
// entry.
#include <algorithm>
#include <cstring>

#include "common/le.h"
#include "common/output.h"
#include "image/image.h"

namespace xipsaw {

uint32_t RomHeader::module_count() const { return load_u32(bytes.data() + 16); }
uint32_t RomHeader::file_count() const { return load_u32(bytes.data() + 48); }

ModuleEntry ModuleEntry::parse(const uint8_t* b) {
  ModuleEntry e;
  e.attributes = load_u32(b);
  e.file_time_low = load_u32(b + 4);
  e.file_time_high = load_u32(b + 8);
  e.size = load_u32(b + 12);
  e.name_address = load_u32(b + 16);
  e.e32offset = load_u32(b + 20);
  e.o32offset = load_u32(b + 24);
  e.load_offset = load_u32(b + 28);
  return e;
}

FileEntry FileEntry::parse(const uint8_t* b) {
  FileEntry e;
  e.attributes = load_u32(b);
  e.file_time_low = load_u32(b + 4);
  e.file_time_high = load_u32(b + 8);
  e.real_size = load_u32(b + 12);
  e.stored_size = load_u32(b + 16);
  e.name_address = load_u32(b + 20);
  e.load_offset = load_u32(b + 24);
  return e;
}

int read_ecec_header(Image& image) {
  if (locate_address(image, image.header.image_start + kEcecOffset) == 0) return 0;
  uint8_t signature[4] = {};
  read_image(image, signature, 4);
  if (std::memcmp(signature, "ECEC", 4) != 0) return 0;
  uint8_t address[4] = {};
  read_image(image, address, 4);
  image.rom_header_address = load_u32(address);
  return 1;
}

int read_rom_header(Image& image) {
  if (locate_address(image, image.rom_header_address) == 0) return 0;
  read_image(image, image.rom_header.bytes.data(), kRomHeaderSize);
  return 1;
}

namespace {

// Reads count entries of EntrySize bytes as one run from address. Entries
// the image does not hold come out zero-filled, as from zeroed storage. The
// table stops after the first entry whose name address is 0: a walk always
// ends there, so a hostile count costs no memory beyond the image's data.
template <typename Entry, uint32_t EntrySize>
int load_table(Image& image, uint32_t address, uint32_t count, std::vector<Entry>& table) {
  table.clear();
  if (locate_address(image, address) == 0) return 0;
  for (uint32_t slot = 0; slot < count; ++slot) {
    uint8_t bytes[EntrySize] = {};
    read_image(image, bytes, EntrySize);
    table.push_back(Entry::parse(bytes));
    if (table.back().name_address == 0) break;
  }
  return 1;
}

}  // namespace

int load_module_table(Image& image) {
  return load_table<ModuleEntry, kModuleEntrySize>(image, image.rom_header_address + kRomHeaderSize,
                                                   image.rom_header.module_count(), image.module_table);
}

int load_file_table(Image& image) {
  return load_table<FileEntry, kFileEntrySize>(image, file_entry_address(image, 0), image.rom_header.file_count(),
                                               image.file_table);
}

uint32_t file_entry_address(const Image& image, uint32_t index) {
  return image.rom_header_address + kRomHeaderSize + image.rom_header.module_count() * kModuleEntrySize +
         index * kFileEntrySize;
}

bool read_image_string(Image& image, uint32_t address, std::string& name) {
  if (locate_address(image, address) == 0) return false;
  // Up to 1023 bytes before a NUL; a name that runs past its record goes on
  // at the next image address, and one that reaches a gap or the end of the
  // file ends there.
  char text[kMaxNameLength];
  uint32_t length = 0;
  while (length < kMaxNameLength) {
    char c = 0;
    if (read_image(image, &c, 1) != 1 || c == '\0') break;
    text[length++] = c;
  }
  name.assign(text, length);
  return true;
}

int store_file_entry(Image& image, std::FILE* out, uint32_t index, uint32_t real_size, uint32_t stored_size,
                     uint32_t attributes) {
  if (locate_address(image, file_entry_address(image, index)) == 0) {
    say(out, "Unable to read block file\n");
    return 0;
  }
  const RecordCursor saved_cursor = image.cursor;
  const int64_t saved_position = image.stream.tell();
  uint8_t entry[kFileEntrySize] = {};
  read_image(image, entry, kFileEntrySize);
  store_u32(entry, attributes);
  store_u32(entry + 12, real_size);
  store_u32(entry + 16, stored_size);
  image.cursor = saved_cursor;
  image.stream.seek(saved_position);
  write_image(image, entry, kFileEntrySize);
  return 1;
}

}  // namespace xipsaw
