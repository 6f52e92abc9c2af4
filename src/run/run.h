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
#include "run/export_names.h"
#include "run/section_names.h"
#include "run/used_blocks.h"

namespace xipsaw {

// What the passes do with each entry they walk.
enum CommandKind : int32_t { kList = 1, kExtract = 2, kUpdate = 3 };

// Exit statuses of the commands beyond the classic ones (which always exit
// 0): how the file fared.
inline constexpr int kSound = 0;     // all went well
inline constexpr int kProblems = 1;  // something was wrong, or not all was written
inline constexpr int kNoImage = 2;   // no image in the file opens

// How the passes write entries out: as extract writes them, or as unpack
// does.
struct WritePolicy {
  bool run_addresses = false;  // modules at the addresses their sections run at
  // An entry that cannot be written whole is not written: it is named, its
  // file removed, and the walk goes on with the next entry.
  bool whole_entries_only = false;
};

// What update learns about the name it looks for. With several images in
// the file, "Unable to find" waits until every image has been walked, and
// comes only when none holds the name.
struct UpdateSearch {
  bool found = false;    // some image holds the name
  bool missing = false;  // an image's walk ended without it (reported at the end with several)
};

struct Run {
  std::FILE* out = stdout;           // every message and listing line
  std::string bin_path;              // the BIN file, as given
  BinStream stream;                  // the one stream on it
  Image image{stream};               // the image the passes work on: the cursor, the headers and tables
  OutputDirectory output_directory;  // where extract writes (each image's subdirectory, with several)
  CompressionLibrary codec;          // bound for the commands that expand or compress
  SectionNameCounters section_names; // the image's: each image is rebuilt as it would be alone
  UsedBlocks used_blocks;            // the image's: no block is expanded or written twice
  ExportNames export_names;          // the image's, for unpack: what its DLLs export by name
  bool several_images = false;       // the file holds more than one
  UpdateSearch update;
  WritePolicy policy;
  std::string entry;                 // the entry being written, which unpack's failure lines name
  uint64_t failed_entries = 0;       // entries that could not be written whole
};

}  // namespace xipsaw
