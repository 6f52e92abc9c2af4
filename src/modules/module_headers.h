// Which of the two E32Header layouts an image's modules use, and a module's
// headers as read in it (the fields of both layouts are in
// image/module_layout.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/image.h"
#include "image/module_layout.h"

namespace xipsaw {

const char* layout_name(E32Layout layout);

// A module's E32Header, as stored, and its O32Entry records.
struct ModuleRecords {
  E32Offsets offsets;
  uint8_t e32[kMaxE32Size];  // offsets.size bytes of it
  std::vector<O32Entry> sections;

  const uint8_t* directory(int d) const { return e32 + offsets.directories + 8 * d; }  // d of the nine
};

// Reads the records of module in the image's layout. nullptr once read;
// otherwise the message of the record that lies in no record of the image.
const char* read_module_records(Image& image, const ModuleEntry& module, E32Layout layout, ModuleRecords& records);

// The layout of the image's modules, decided from all of their headers,
// whichever of them a command selects (see the definition).
E32Layout decide_e32_layout(Image& image);

}  // namespace xipsaw
