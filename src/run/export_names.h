// The names under which the DLLs of one image export their functions, which
// unpack gives to the imports that other modules of the image make by
// ordinal alone.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "common/words.h"

namespace xipsaw {

// One DLL's exports that have a name, by ordinal.
using DllNames = std::map<uint32_t, std::string>;

struct ExportNames {
  std::map<std::string, DllNames> dlls;  // by the DLL's name in lower case

  // The named exports of the DLL that import descriptors call dll (matched
  // without regard to case, as the device's loader matches them), or nullptr.
  const DllNames* find(const std::string& dll) const {
    const auto it = dlls.find(lower_ascii(dll));
    return it == dlls.end() ? nullptr : &it->second;
  }
};

}  // namespace xipsaw
