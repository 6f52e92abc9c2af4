// The state of one run, shared by the driver and both passes: it lies below
// both, so that the passes never reach up into the driver. Everything a run
// touches lives here, so that one process can run many images.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "output/output_directory.h"
#include "compression/binding.h"
#include "image/image.h"
#include "run/section_names.h"

namespace xipsaw {

enum CommandKind : int32_t { kList = 1, kExtract = 2, kUpdate = 3 };

struct Run {
  std::FILE* out = stdout;           // every message and listing line
  std::string bin_path;              // the BIN file, as given
  BinStream stream;                  // the one stream on it
  Image image{stream};               // the image the passes work on: the cursor, the headers and tables
  OutputDirectory output_directory;  // where extract writes
  CompressionLibrary codec;          // bound for extract and update only
  SectionNameCounters section_names;
};

}  // namespace xipsaw
