// An image's compressed data as a whole: where each compressed section and
// file lies, and which of the two formats the image keeps them in.
#pragma once

#include <cstdint>
#include <functional>

#include "compression/compressed_format.h"
#include "modules/module_headers.h"

namespace xipsaw {

struct CompressedEntry {
  uint64_t entry;           // the same for the sections of one module, another for each file
  uint32_t data_address;    // where its stored data begins
  uint32_t stored_size;
  uint32_t expanded_size;   // a section's virtual size, a file's real size
};

// Calls visit for each compressed section of every module, then each
// compressed file, in table order, until it returns false (modules as
// for_each_section takes them).
void for_each_compressed_entry(Image& image, E32Layout layout,
                               const std::function<bool(const CompressedEntry&)>& visit);

// The format of the image's compressed data, as the first compressed entry
// whose stored data tells: an image keeps all of it in one format. none
// when no entry tells.
CompressedFormat compression_format_of(Image& image, E32Layout layout);

const char* format_name(CompressedFormat format);

}  // namespace xipsaw
