// Replacing a file's content inside the BIN file. The new data goes over the
// old at the entry's load_offset, raw when it fits an uncompressed entry,
// compressed otherwise; then the entry's sizes and attributes are rewritten.
// The data, the entry and the checksums of the records they touch are one
// transaction: the BIN file holds either all of them or none.
#include "files/file_update.h"

#include <cstdio>
#include <memory>
#include <new>

#include "common/file_status.h"
#include "common/native_path.h"
#include "compressed/compressed_entries.h"
#include "output/messages.h"
#include "image/journal.h"
#include "image/transaction.h"

namespace xipsaw {

namespace {

constexpr uint32_t kCompressionSlack = 20;  // CECompress gets N + 20 bytes of room

// The new content, read whole; ok is false when it could not be had.
struct Content {
  bool ok = false;
  std::unique_ptr<uint8_t[]> bytes;
  uint32_t size = 0;
};

// Reads exactly size bytes of path; fails on a short read, or on a size that
// does not fit the 32-bit sizes of the image (with the compression room).
Content read_content(const std::string& path, uint64_t size) {
  Content content;
  if (size > UINT32_MAX - kCompressionSlack) return content;
  std::FILE* input = open_file(path, "rb");
  if (input == nullptr) return content;
  content.size = static_cast<uint32_t>(size);
  content.bytes.reset(new (std::nothrow) uint8_t[size == 0 ? 1 : size]);
  content.ok = content.bytes && std::fread(content.bytes.get(), 1, content.size, input) == content.size;
  std::fclose(input);
  return content;
}

// Writes count bytes at the entry's data, then the entry with its new
// sizes, as one unit that reaches the disk whole or not at all, after
// checking that both destinations lie wholly in records.
bool write_entry(Run& run, const FileEntry& file, uint32_t index, const uint8_t* data, uint32_t count,
                 uint32_t real_size, uint32_t attributes) {
  Image& image = run.image;
  if (measure_image(image, file.load_offset, count) != count ||
      measure_image(image, file_entry_address(image, index), kFileEntrySize) != kFileEntrySize ||
      locate_address(image, file.load_offset) == 0) {
    say(run.out, "Unable to read block file\n");
    return false;
  }
  Transaction unit(image);
  if (write_image(image, data, count) != count) {
    say(run.out, "Unable to read block file\n");
    return false;
  }
  if (store_file_entry(image, run.out, index, real_size, count, attributes) == 0) return false;
  const std::string journal = journal_path(run.bin_path);
  switch (unit.commit(journal)) {
    case CommitResult::committed:
      return true;
    case CommitResult::not_started:
      say(run.out, "Unable to write journal %s; the BIN file was not changed\n", shown(journal).c_str());
      break;
    case CommitResult::undone:
      say(run.out, "Unable to write BIN file; the update of %s was undone\n", printable(file.name).c_str());
      break;
    case CommitResult::journal_kept:
      say(run.out, "Unable to write BIN file; the next run restores it from %s\n", shown(journal).c_str());
      break;
  }
  return false;
}

}  // namespace

UpdateStep update_file(Run& run, FileEntry& file, uint32_t index, int word_count, const char* const* words,
                       bool& found) {
  Image& image = run.image;
  if (file.name != words[0]) return UpdateStep::next_entry;
  found = true;
  const std::string input = word_count >= 2 ? words[1] : words[0];
  say(run.out, "Updating %s ...\n", printable(file.name).c_str());

  if (locate_address(image, file.load_offset) == 0) {
    say(run.out, "Unable to read block file\n");
    return UpdateStep::end_pass;
  }
  uint64_t size = 0;
  const PathKind kind = path_kind(input, &size);
  if (kind == PathKind::missing) {
    say(run.out, "Unable to stat file %s\n", shown(input).c_str());
    return UpdateStep::end_pass;
  }
  Content content = kind == PathKind::regular ? read_content(input, size) : Content{};
  if (!content.ok) {
    say(run.out, "Unable to open file %s\n", shown(input).c_str());
    return UpdateStep::end_pass;
  }
  const StoreResult stored = store_file_content(run, file, index, content.bytes.get(), content.size);
  return stored == StoreResult::failed ? UpdateStep::end_pass : UpdateStep::next_entry;
}

StoreResult store_file_content(Run& run, FileEntry& file, uint32_t index, const uint8_t* content, uint32_t n) {
  Image& image = run.image;
  if (!(file.attributes & kCompressedFile) && n <= file.stored_size)
    return write_entry(run, file, index, content, n, n, file.attributes) ? StoreResult::written
                                                                          : StoreResult::failed;

  // Content that does not fit raw, and every compressed entry, is stored
  // compressed, in the format the image keeps its compressed data in (a
  // device reads only its own), LZX where it has none yet. The bit reaches
  // the image only with the entry.
  file.attributes |= kCompressedFile;
  const CompressedFormat format = compression_format_of(image, decide_e32_layout(image));
  const uint32_t capacity = n + kCompressionSlack;
  std::unique_ptr<uint8_t[]> compressed(new (std::nothrow) uint8_t[capacity]);
  int32_t z = compressed ? run.codec.shrink(content, n, compressed.get(), capacity,
                                            format == CompressedFormat::lzss ? format : CompressedFormat::lzx)
                         : -1;
  if (z < 0 || static_cast<uint32_t>(z) > capacity) {
    say(run.out, "Error in CECompress()\n");
    return StoreResult::refused;
  }
  if (static_cast<uint32_t>(z) > file.stored_size) {
    say(run.out, "The size of the updated file must be less-then or equal to the size of the old file.\n");
    say(run.out, "This feature might be introduced in a newer version.\n");
    say(run.out, "Updated file (COMPRESSED): %d bytes   Old file (COMPRESSED): %d bytes\n", z,
        static_cast<int32_t>(file.stored_size));
    return StoreResult::refused;
  }
  return write_entry(run, file, index, compressed.get(), static_cast<uint32_t>(z), n, file.attributes)
             ? StoreResult::written
             : StoreResult::failed;
}

}  // namespace xipsaw
