#include "registry/registry_file.h"

#include <algorithm>

#include "common/le.h"
#include "extraction/stored_data.h"
#include "output/messages.h"
#include "registry/flat_registry.h"
#include "registry/hive_reader.h"

namespace xipsaw {

namespace {

// A registry file's first bytes tell it: a hive's signature, or a flat
// registry's length word (at offset 4) equal to its size.
constexpr uint32_t kHeadBytes = hive::kSignatureOffset + 4;

bool may_be_registry(const uint8_t* head, uint32_t size) {
  return size >= kHeadBytes && (Hive::has_signature(head, kHeadBytes) || load_u32(head + 4) == size);
}

}  // namespace

ContentRead read_registry_content(Run& run, const FileEntry& file, std::vector<uint8_t>& content, bool report) {
  const bool compressed = (file.attributes & kCompressedFile) != 0;
  if ((compressed ? file.real_size : file.stored_size) > kMaxHiveSize) return ContentRead::not_registry;
  Image& image = run.image;
  if (locate_address(image, file.load_offset) == 0 ||
      (!compressed && measure_image(image, file.load_offset, file.stored_size) != file.stored_size)) {
    if (report) say(run.out, "Unable to read block file\n");
    return ContentRead::unreadable;
  }
  if (compressed) {
    std::unique_ptr<uint8_t[]> expanded;
    const int32_t size = expand_at_cursor(run, file.stored_size, file.real_size, expanded);
    if (size < 0) {
      if (report) say(run.out, "Error in CEDecompress()\n");
      return ContentRead::unreadable;
    }
    content.assign(expanded.get(), expanded.get() + size);
    return ContentRead::read;
  }
  uint8_t head[kHeadBytes] = {};
  read_image(image, head, std::min(file.stored_size, kHeadBytes));
  if (!may_be_registry(head, file.stored_size)) return ContentRead::not_registry;
  content.resize(file.stored_size);
  locate_address(image, file.load_offset);
  read_image(image, content.data(), file.stored_size);
  return ContentRead::read;
}

bool read_registry(std::vector<uint8_t> content, RegistryFile& registry, std::string& why) {
  registry.kind = RegistryKind::none;
  if (Hive::has_signature(content.data(), content.size())) {
    registry.kind = RegistryKind::hive;
    return registry.hive.open(std::move(content), why) && read_hive_tree(registry.hive, registry.tree, why);
  }
  if (is_flat_registry(content)) {
    registry.kind = RegistryKind::flat;
    return read_flat_registry(content, registry.tree, why);
  }
  return true;
}

}  // namespace xipsaw
