#include "registry/registry_command.h"

#include <cstdio>
#include <functional>

#include "common/file_status.h"
#include "common/native_path.h"
#include "common/words.h"
#include "images/each_image.h"
#include "files/file_update.h"
#include "output/messages.h"
#include "registry/hive_edit.h"
#include "registry/reg_export.h"
#include "registry/reg_parse.h"
#include "registry/registry_file.h"

namespace xipsaw {

namespace {

constexpr uint64_t kMaxRegText = uint64_t{64} << 20;  // the largest .reg file read

// Visits the entries of the image's file table, or only those named name,
// with their indices. False after a message when the table or a name could
// not be read.
bool for_each_file(Run& run, const char* name, const std::function<void(FileEntry&, uint32_t)>& visit) {
  if (!load_file_table(run.image)) {
    say(run.out, "Unable to read block file\n");
    return false;
  }
  FileEntry file;
  for (uint32_t index = 0; next_file_entry(run.image, file); ++index) {
    if (!read_image_string(run.image, file.name_address, file.name)) {
      say(run.out, "Unable to read block file\n");
      return false;
    }
    if (name == nullptr || file.name == name) visit(file, index);
  }
  return true;
}

// The image's runs of the walk, with the exit status they add up to.
int walk_images(Run& run, const char* name, const std::function<bool(FileEntry&, uint32_t)>& visit) {
  bool sound = true, found = false;
  const size_t images = for_each_image(run, [&] {
    sound = for_each_file(run, name, [&](FileEntry& file, uint32_t index) {
      found = true;
      sound = visit(file, index) && sound;
    }) && sound;
  });
  if (images == 0) return kNoImage;
  if (name != nullptr && !found) {
    say(run.out, "Unable to find %s on BIN\n", printable(name).c_str());
    return kProblems;
  }
  return sound ? kSound : kProblems;
}

// Reads the file's registry. False after a message when it is a registry
// file that does not read, or, for a file a command names, when it cannot
// be read or is no registry file; a file that the listing passes over reads
// as kind none.
bool read_file_registry(Run& run, const FileEntry& file, RegistryFile& registry, bool named) {
  std::vector<uint8_t> content;
  const ContentRead read = read_registry_content(run, file, content, named);
  if (read == ContentRead::unreadable) return !named;
  std::string why;
  if (read == ContentRead::read && !read_registry(std::move(content), registry, why)) {
    say(run.out, "Unable to read registry %s: %s\n", printable(file.name).c_str(), why.c_str());
    return false;
  }
  if (registry.kind != RegistryKind::none || !named) return true;
  say(run.out, "%s is not a registry file\n", printable(file.name).c_str());
  return false;
}

int list_registries(Run& run) {
  return walk_images(run, nullptr, [&](FileEntry& file, uint32_t) {
    RegistryFile registry;
    if (!read_file_registry(run, file, registry, false)) return false;
    if (registry.kind != RegistryKind::none)
      say(run.out, "%s: %s, %u keys, %u values\n", printable(file.name).c_str(),
          registry.kind == RegistryKind::hive ? "hive" : "flat registry",
          static_cast<unsigned>(registry.tree.keys.size()), static_cast<unsigned>(registry.tree.values.size()));
    return true;
  });
}

int export_registry(Run& run, const char* name) {
  return walk_images(run, name, [&](FileEntry& file, uint32_t) {
    RegistryFile registry;
    if (!read_file_registry(run, file, registry, true)) return false;
    if (write_reg(run.out, registry.tree)) return true;
    say(run.out, "Unable to export %s: its keys are nested too deep\n", printable(file.name).c_str());
    return false;
  });
}

// The .reg file's text, checked; false after update's messages when it
// cannot be read, or a message naming the line that is not .reg.
bool read_changes(Run& run, const std::string& path, std::string& text) {
  uint64_t size = 0;
  const PathKind kind = path_kind(path, &size);
  if (kind == PathKind::missing) {
    say(run.out, "Unable to stat file %s\n", shown(path).c_str());
    return false;
  }
  std::FILE* input = kind == PathKind::regular && size <= kMaxRegText ? open_file(path, "rb") : nullptr;
  text.assign(input != nullptr ? static_cast<size_t>(size) : 0, '\0');
  const bool read = input != nullptr && std::fread(text.data(), 1, text.size(), input) == text.size();
  if (input != nullptr) std::fclose(input);
  if (!read) {
    say(run.out, "Unable to open file %s\n", shown(path).c_str());
    return false;
  }
  uint32_t line = 0;
  std::string why;
  if (parse_reg(text, nullptr, line, why)) return true;
  say(run.out, "%s, line %u: %s\n", shown(path).c_str(), line, why.c_str());
  return false;
}

int import_registry(Run& run, const char* name, const std::string& path) {
  std::string changes;
  if (!read_changes(run, path, changes)) return kProblems;
  return walk_images(run, name, [&](FileEntry& file, uint32_t index) {
    say(run.out, "Importing %s into %s ...\n", shown(path).c_str(), printable(file.name).c_str());
    RegistryFile registry;
    if (!read_file_registry(run, file, registry, true)) return false;
    if (registry.kind == RegistryKind::flat) {
      say(run.out, "Unable to import into %s: a flat registry begins with a check that xipsaw cannot compute yet\n",
          printable(file.name).c_str());
      return false;
    }
    const std::vector<uint8_t> before = registry.hive.bytes();
    uint32_t line = 0;
    std::string why;
    if (!apply_reg(registry.hive, registry.tree, changes, line, why)) {
      say(run.out, "%s, line %u: %s\n", shown(path).c_str(), line, why.c_str());
      return false;
    }
    const std::vector<uint8_t>& after = registry.hive.bytes();
    if (after == before) {
      say(run.out, "No change to %s\n", printable(file.name).c_str());
      return true;
    }
    return store_file_content(run, file, index, after.data(), static_cast<uint32_t>(after.size())) ==
           StoreResult::written;
  });
}

}  // namespace

bool registry_takes(int word_count, const char* const* words) {
  return word_count <= 1 || (word_count == 3 && equal_ignoring_ascii_case(words[1], "import"));
}

bool registry_imports(int word_count) { return word_count == 3; }

int registry(Run& run, int word_count, const char* const* words) {
  if (word_count == 0) return list_registries(run);
  // NAME as the image holds names; the .reg file is a path.
  const std::string name = image_name_of_argument(words[0]);
  if (word_count == 1) return export_registry(run, name.c_str());
  return import_registry(run, name.c_str(), words[2]);
}

}  // namespace xipsaw
