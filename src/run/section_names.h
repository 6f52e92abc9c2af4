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
  std::string next(SectionKind kind) {
    static constexpr const char* kNames[5] = {".text", ".data", ".pdata", ".rsrc", ".other"};
    int32_t& counter = counters[kind];
    std::string name = counter == 0 ? std::string(kNames[kind]) : kNames[kind] + std::to_string(counter);
    // Wraps rather than overflows; no image has 2^31 sections of one kind.
    counter = static_cast<int32_t>(static_cast<uint32_t>(counter) + 1);
    return name.substr(0, 8);
  }
};

}  // namespace xipsaw
