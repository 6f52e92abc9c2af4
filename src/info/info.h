// What an image is: its container, its addresses, its ROM header field by
// field, and how much of it is compressed, one "key: value" line each.
#pragma once

#include "run/run.h"

namespace xipsaw {

void describe_image(Run& run);

// The name of a CPU type as the ROM header gives it, "unknown" for others.
const char* cpu_name(uint16_t cpu_type);

}  // namespace xipsaw
