// A registry file of the image: read through the file table as extract
// reads files, recognised by its content, and read into a tree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "registry/hive.h"
#include "registry/registry_tree.h"
#include "run/run.h"

namespace xipsaw {

enum class RegistryKind { none, hive, flat };

struct RegistryFile {
  RegistryKind kind = RegistryKind::none;
  Hive hive;  // a hive's content, its layout checked
  RegistryTree tree;
};

enum class ContentRead { read, not_registry, unreadable };

// The file's content, expanded when compressed, when it may be a registry
// file: at most 16 MiB and, stored raw, beginning as one does (so that no
// large file is read whole for nothing). unreadable after extract's message
// when report is set.
ContentRead read_registry_content(Run& run, const FileEntry& file, std::vector<uint8_t>& content, bool report);

// Recognises content as a hive ("EKIM" at offset 8) or a flat registry and
// reads it: kind none for any other content. False, with why, for a
// registry file that does not read.
bool read_registry(std::vector<uint8_t> content, RegistryFile& registry, std::string& why);

}  // namespace xipsaw
