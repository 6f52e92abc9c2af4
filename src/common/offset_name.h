// How a position in a file is written in messages: "0x00080000", with more
// digits beyond 4 GiB.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace xipsaw {

inline std::string offset_name(int64_t offset) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(offset));
  return text;
}

}  // namespace xipsaw
