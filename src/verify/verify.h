// Checking images before they go into a device: every record, header, table
// entry, name, section and file that the other commands would read, without
// changing anything. Each problem is one line that names the record or the
// entry and says what is wrong.
#pragma once

#include <cstdint>

#include "run/run.h"

namespace xipsaw {

struct VerifyTotals {
  uint32_t images = 0;
  uint32_t records = 0;  // of BIN containers; a raw image has none
  uint32_t modules = 0;
  uint32_t files = 0;
  uint64_t problems = 0;
  uint64_t printed = 0;    // problem lines printed
  uint64_t unprinted = 0;  // problems beyond the lines printed
};

// Checks the image that opened in run.image (but its container), printing
// its problems and adding to the totals.
void verify_image(Run& run, VerifyTotals& totals);

// Counts the image in run.image and checks its container (a BIN file's
// records), whose header has been read, whether its image opens or not.
void verify_container(Run& run, VerifyTotals& totals);

}  // namespace xipsaw
