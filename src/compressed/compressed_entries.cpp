#include "compressed/compressed_entries.h"

#include <algorithm>
#include <vector>

#include "modules/module_sections.h"

namespace xipsaw {

namespace {

// Compressed entries whose data is looked at for its format, at most: the
// first one tells in every sound image.
constexpr uint32_t kMaxEntriesAsked = 1000;

// The bytes of a buffer that tell its format, at most: its size, the end
// offsets of its largest number of blocks, and the first block's header.
constexpr uint32_t kFormatPrefixBytes =
    kSizeFieldBytes * (1 + (1u << 24) / kCompressionBlockSize) + kLzxBlockHeaderBytes;

}  // namespace

void for_each_compressed_entry(Image& image, E32Layout layout,
                               const std::function<bool(const CompressedEntry&)>& visit) {
  bool going = true;
  for_each_section(image, layout, [&](const ModuleEntry& module, const O32Entry& section) {
    if (section.flags & kCompressedSection)
      going = visit({module.o32offset, section.data_address, section.stored_size, section.virtual_size});
    return going;
  });
  TableReader files;
  FileEntry file;
  if (!going || !load_file_table(image, files)) return;
  for (uint64_t index = 0; next_file_entry(image, files, file); ++index)
    if ((file.attributes & kCompressedFile) &&
        !visit({(uint64_t{1} << 32) + index, file.load_offset, file.stored_size, file.real_size}))
      return;
}

CompressedFormat compression_format_of(Image& image, E32Layout layout) {
  CompressedFormat format = CompressedFormat::none;
  uint32_t asked = 0;
  std::vector<uint8_t> prefix;
  for_each_compressed_entry(image, layout, [&](const CompressedEntry& entry) {
    if (locate_address(image, entry.data_address) != 0) {
      prefix.resize(std::min(entry.stored_size, kFormatPrefixBytes));
      const uint32_t got = read_image(image, prefix.data(), static_cast<uint32_t>(prefix.size()));
      format = format_of_buffer(prefix.data(), got);
    }
    return format == CompressedFormat::none && ++asked < kMaxEntriesAsked;
  });
  return format;
}

const char* format_name(CompressedFormat format) {
  switch (format) {
    case CompressedFormat::lzx: return "lzx";
    case CompressedFormat::lzss: return "lzss";
    case CompressedFormat::none: break;
  }
  return "none";
}

}  // namespace xipsaw
