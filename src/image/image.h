// Addressed access to a ROM image, which a file holds as the records of a
// BIN container or as a raw stretch of its bytes, and the image's headers
// and tables of contents.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "image/bin_layout.h"
#include "image/bin_stream.h"
#include "image/image_store.h"
#include "image/record_index.h"
#include "image/rom_header.h"

namespace xipsaw {

class Transaction;

// ---- Container ---------------------------------------------------------

// Where the last successful locate_address left the stream. A clear cursor
// (address 0) has no current stretch. header_position is the current
// record's, kNoRecordHeader in a raw image (and 0 while clear).
struct RecordCursor {
  uint32_t address = 0;
  uint32_t remaining = 0;
  int64_t header_position = 0;
};

// ---- ROM structures ----------------------------------------------------

inline constexpr uint32_t kEcecOffset = 0x40;
inline constexpr uint32_t kMaxNameLength = 1023;

struct ModuleEntry {
  uint32_t attributes = 0;
  uint32_t file_time_low = 0;   // offset 4
  uint32_t file_time_high = 0;  // offset 8
  uint32_t size = 0;
  uint32_t name_address = 0;
  uint32_t e32offset = 0;
  uint32_t o32offset = 0;
  uint32_t load_offset = 0;
  std::string name;  // read from name_address once the pass reaches the entry

  static ModuleEntry parse(const uint8_t* bytes);
};

// A FileEntry's or ModuleEntry's file_time as one 64-bit FILETIME.
template <typename Entry>
uint64_t filetime_of(const Entry& entry) {
  return uint64_t{entry.file_time_high} << 32 | entry.file_time_low;
}

// In a FileEntry's attributes: its stored data is compressed.
inline constexpr uint32_t kCompressedFile = 0x800;

struct FileEntry {
  uint32_t attributes = 0;
  uint32_t file_time_low = 0;
  uint32_t file_time_high = 0;
  uint32_t real_size = 0;
  uint32_t stored_size = 0;
  uint32_t name_address = 0;
  uint32_t load_offset = 0;
  std::string name;

  static FileEntry parse(const uint8_t* bytes);
};

// ---- The image ---------------------------------------------------------

struct Image;

// A walk's place in a table of contents. The walk takes the entries one at a
// time, and they are read from the image in small batches as it goes, each
// batch going on with the one run of reads that began at the table's
// address (its own cursor and stream position are kept between batches).
// So every entry comes out as one continuous read of the whole table would
// have delivered it: entries past a gap or the end of the image are
// zero-filled, and the table ends after the first entry whose name address
// is 0, since a walk stops there (address 0 is never located). Memory stays
// at one batch, whatever count the image claims.
class TableReader {
 public:
  // Starts a table of count entries of entry_size bytes, each with its name
  // address at name_offset, at the place where the image's cursor stands.
  void start(Image& image, uint32_t count, uint32_t entry_size, uint32_t name_offset);
  // The next entry's bytes, or nullptr once the table has ended. They stay
  // valid until the next call on the reader.
  const uint8_t* next(Image& image);
  // Reads ahead the entries not yet read that lie at [address, address +
  // count), so that a write there does not change what the walk takes
  // later: one continuous read would have taken them before any write.
  void read_ahead(Image& image, uint32_t address, uint32_t count);

 private:
  static constexpr uint32_t kBatch = 64;
  // Reads entries at the reader's own cursor while more_wanted() holds and
  // the table has not ended, then restores the image's cursor and stream.
  template <typename MoreWanted>
  void read_entries(Image& image, MoreWanted&& more_wanted);

  RecordCursor cursor_;
  int64_t position_ = 0;
  uint32_t entry_size_ = 0;
  uint32_t name_offset_ = 0;
  uint32_t unread_ = 0;           // entries of the table not yet read
  std::vector<uint8_t> entries_;  // read and not yet taken, from taken_ on
  size_t taken_ = 0;
};

// The kinds of container a file can hold an image in, which only the
// search that finds them and the stores that read them tell apart.
enum class ImageKind { bin, raw };

// One image of the file. Addresses that the image itself holds (the ROM
// header's, the tables', names, module headers, data) are located at
// address - rom_offset in the records: an image built with a ROM offset
// keeps its records at other addresses than the ones it runs at. The cursor
// holds addresses as the image has them.
struct Image {
  explicit Image(BinStream& file) : stream(&file) {}

  BinStream* stream;  // the file's one stream, shared by every image in it
  int64_t file_offset = 0;  // where the container's header or the raw image begins
  std::unique_ptr<ImageStore> store;  // the container: where each address lies, what it says of the image
  RecordCursor cursor;
  Transaction* transaction = nullptr;  // while one is open, write_image stages into it

  uint32_t rom_header_address = 0;
  uint32_t rom_offset = 0;
  RomHeader rom_header;
  TableReader module_table;
  TableReader file_table;
};

// Record stream. Results follow the conventions of the tool: 1 or a byte
// count for success, 0 for failure; nothing here prints.
//
// read_bin_header reads a container's header at the stream's position and
// makes the image the container's records; open_raw_image makes it the
// file from offset on, at addresses from address up.
int read_bin_header(Image& image);
void open_raw_image(Image& image, int64_t offset, uint32_t address);
// Address 0 is never located: it means "none" wherever an image holds it.
uint32_t locate_address(Image& image, uint32_t target);
uint32_t read_image(Image& image, void* buffer, uint32_t count);
// Inside a Transaction the writes are staged (see transaction.h): the
// stream is only repositioned, the checksums are left to the commit, and
// the buffer of a long write must outlive the transaction.
uint32_t write_image(Image& image, const void* buffer, uint32_t count);
int refresh_record_checksum(Image& image);
// The byte sum, modulo 2^32, of length bytes of record data from
// data_position on; false when the file does not hold them all.
bool sum_record_data(BinStream& stream, int64_t data_position, uint32_t length, uint32_t& sum);

// How many of the count bytes from address on a transfer started by
// locate_address(address) would reach, without moving the cursor.
uint32_t measure_image(Image& image, uint32_t address, uint32_t count);

// Headers and tables. read_rom_header also finds the ROM offset of an image
// whose ROM header address lies in no record (see rom_offset.cpp).
int read_ecec_header(Image& image);
int read_rom_header(Image& image);
bool find_rom_offset(Image& image, uint32_t& offset);
// The loaders locate a table and start its walk; the walk then takes the
// entries one by one, false once the table has ended.
int load_module_table(Image& image);
int load_file_table(Image& image);
bool next_module_entry(Image& image, ModuleEntry& entry);
bool next_file_entry(Image& image, FileEntry& entry);
// Walks of a table of their own, beside the passes'.
int load_module_table(Image& image, TableReader& table);
bool next_module_entry(Image& image, TableReader& table, ModuleEntry& entry);
int load_file_table(Image& image, TableReader& table);
bool next_file_entry(Image& image, TableReader& table, FileEntry& entry);
// terminated, when given, tells whether a NUL ended the name (rather than
// the 1023-byte limit, a gap or the end of the file).
bool read_image_string(Image& image, uint32_t address, std::string& name, bool* terminated = nullptr);
uint32_t file_entry_address(const Image& image, uint32_t index);

// What the container and the ROM header say of the image (see
// image_answers.cpp), in the addresses its records or its stretch of file
// use (before any ROM offset): the addresses it spans; its length; where a
// boot loader jumps once it is in place: the container's launch address,
// else the entry point of the image's kernel (nk.exe, else its first
// module) as its records address it, else its first address.
ImageExtent image_extent(Image& image);
uint32_t image_length(const Image& image);
uint32_t launch_address(Image& image);
int store_file_entry(Image& image, std::FILE* out, uint32_t index, uint32_t real_size, uint32_t stored_size,
                     uint32_t attributes);

}  // namespace xipsaw
