// The run-wide counters that number the sections of rebuilt executables by
// kind: .text, .text1, .text2, ...
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace xipsaw {

enum SectionKind : int { kText = 0, kData = 1, kPdata = 2, kRsrc = 3, kOther = 4 };

struct SectionNameCounters {
  std::array<int32_t, 5> counters{};

  // The next name of the given kind, cut to the 8 bytes of a section header.
  std::string next(SectionKind kind);
};

}  // namespace xipsaw
