// The chain from the "ECEC" signature to the ROM header and the two tables
// of contents, the names the entries point to, and the rewrite of a file
// entry.
#include <algorithm>
#include <cstring>

#include "common/le.h"
#include "output/messages.h"
#include "image/image.h"

namespace xipsaw {

namespace {

// Where an entry's name address lies in it.
constexpr uint32_t kModuleNameAddressOffset = 16;
constexpr uint32_t kFileNameAddressOffset = 20;

}  // namespace


ModuleEntry ModuleEntry::parse(const uint8_t* b) {
  ModuleEntry e;
  e.attributes = load_u32(b);
  e.file_time_low = load_u32(b + 4);
  e.file_time_high = load_u32(b + 8);
  e.size = load_u32(b + 12);
  e.name_address = load_u32(b + kModuleNameAddressOffset);
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
  e.name_address = load_u32(b + kFileNameAddressOffset);
  e.load_offset = load_u32(b + 24);
  return e;
}

int read_ecec_header(Image& image) {
  if (locate_address(image, image.store->first_address() + kEcecOffset) == 0) return 0;
  uint8_t signature[4] = {};
  read_image(image, signature, 4);
  if (std::memcmp(signature, "ECEC", 4) != 0) return 0;
  uint8_t address[4] = {};
  read_image(image, address, 4);
  image.rom_header_address = load_u32(address);
  return 1;
}

int read_rom_header(Image& image) {
  image.rom_offset = 0;
  if (locate_address(image, image.rom_header_address) == 0) {
    uint32_t offset = 0;
    if (!find_rom_offset(image, offset)) return 0;
    image.rom_offset = offset;
    locate_address(image, image.rom_header_address);
  }
  read_image(image, image.rom_header.bytes.data(), kRomHeaderSize);
  return 1;
}

// ---- Tables of contents ---------------------------------------------------

void TableReader::start(Image& image, uint32_t count, uint32_t entry_size, uint32_t name_offset) {
  cursor_ = image.cursor;
  position_ = image.stream->tell();
  entry_size_ = entry_size;
  name_offset_ = name_offset;
  unread_ = count;
  entries_.clear();
  taken_ = 0;
}

template <typename MoreWanted>
void TableReader::read_entries(Image& image, MoreWanted&& more_wanted) {
  const RecordCursor saved_cursor = image.cursor;
  const int64_t saved_position = image.stream->tell();
  image.cursor = cursor_;
  image.stream->seek(position_);
  while (unread_ > 0 && more_wanted()) {
    const size_t at = entries_.size();
    entries_.resize(at + entry_size_, 0);
    read_image(image, &entries_[at], entry_size_);
    --unread_;
    if (load_u32(&entries_[at + name_offset_]) == 0) unread_ = 0;
  }
  cursor_ = image.cursor;
  position_ = image.stream->tell();
  image.cursor = saved_cursor;
  image.stream->seek(saved_position);
}

const uint8_t* TableReader::next(Image& image) {
  if (taken_ == entries_.size()) {
    // A large read-ahead is not kept once it has been taken.
    if (entries_.capacity() > size_t{kBatch} * entry_size_) std::vector<uint8_t>().swap(entries_);
    entries_.clear();
    taken_ = 0;
    uint32_t batch = 0;
    read_entries(image, [&batch] { return batch++ < kBatch; });
    if (entries_.empty()) return nullptr;
  }
  taken_ += entry_size_;
  return &entries_[taken_ - entry_size_];
}

void TableReader::read_ahead(Image& image, uint32_t address, uint32_t count) {
  // Past a gap the cursor is clear and what is left reads as zeros, whatever
  // is written.
  const uint64_t from = cursor_.address;
  const uint64_t to = from + uint64_t{unread_} * entry_size_;
  const uint64_t end = uint64_t{address} + count;
  if (unread_ == 0 || from == 0 || count == 0 || end <= from || address >= to) return;
  read_entries(image, [&image, end] { return image.cursor.address != 0 && image.cursor.address < end; });
}

int load_module_table(Image& image) { return load_module_table(image, image.module_table); }

int load_module_table(Image& image, TableReader& table) {
  table = TableReader();
  if (locate_address(image, image.rom_header_address + kRomHeaderSize) == 0) return 0;
  table.start(image, image.rom_header.module_count(), kModuleEntrySize, kModuleNameAddressOffset);
  return 1;
}

int load_file_table(Image& image) { return load_file_table(image, image.file_table); }

int load_file_table(Image& image, TableReader& table) {
  table = TableReader();
  if (locate_address(image, file_entry_address(image, 0)) == 0) return 0;
  table.start(image, image.rom_header.file_count(), kFileEntrySize, kFileNameAddressOffset);
  return 1;
}

bool next_module_entry(Image& image, ModuleEntry& entry) { return next_module_entry(image, image.module_table, entry); }

bool next_module_entry(Image& image, TableReader& table, ModuleEntry& entry) {
  const uint8_t* bytes = table.next(image);
  if (bytes != nullptr) entry = ModuleEntry::parse(bytes);
  return bytes != nullptr;
}

bool next_file_entry(Image& image, FileEntry& entry) { return next_file_entry(image, image.file_table, entry); }

bool next_file_entry(Image& image, TableReader& table, FileEntry& entry) {
  const uint8_t* bytes = table.next(image);
  if (bytes != nullptr) entry = FileEntry::parse(bytes);
  return bytes != nullptr;
}

uint32_t file_entry_address(const Image& image, uint32_t index) {
  return image.rom_header_address + kRomHeaderSize + image.rom_header.module_count() * kModuleEntrySize +
         index * kFileEntrySize;
}

bool read_image_string(Image& image, uint32_t address, std::string& name, bool* terminated) {
  if (locate_address(image, address) == 0) return false;
  // Up to 1023 bytes before a NUL, read in blocks that stay inside the
  // current record. A name that runs past its record goes on at the next
  // image address, in whatever record holds it: that first byte is read
  // across records, which locates the address after it too, so the reads
  // go through the same records as reads of one byte at a time would. A
  // name that reaches a gap or the end of the file ends there.
  char text[kMaxNameLength];
  uint32_t length = 0;
  if (terminated != nullptr) *terminated = false;
  while (length < kMaxNameLength) {
    const uint32_t remaining = image.cursor.remaining;
    const uint32_t want = remaining == 0 ? 1 : std::min(kMaxNameLength - length, remaining);
    const uint32_t got = read_image(image, text + length, want);
    const void* nul = std::memchr(text + length, '\0', got);
    if (nul != nullptr) {
      length = static_cast<uint32_t>(static_cast<const char*>(nul) - text);
      if (terminated != nullptr) *terminated = true;
      break;
    }
    length += got;
    if (got < want) break;
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
  const int64_t saved_position = image.stream->tell();
  uint8_t entry[kFileEntrySize] = {};
  read_image(image, entry, kFileEntrySize);
  store_u32(entry, attributes);
  store_u32(entry + 12, real_size);
  store_u32(entry + 16, stored_size);
  image.cursor = saved_cursor;
  image.stream->seek(saved_position);
  write_image(image, entry, kFileEntrySize);
  return 1;
}

}  // namespace xipsaw
