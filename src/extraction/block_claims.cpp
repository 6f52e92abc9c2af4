#include "extraction/block_claims.h"

#include "output/messages.h"

namespace xipsaw {

bool use_block(Run& run, uint32_t address, uint32_t size, uint32_t name_address, std::string& why) {
  uint32_t earlier = 0;
  // Only the bytes that the image holds are read, whatever size a hostile
  // or damaged entry claims; they are measured once the block is known not
  // to begin where an earlier one did.
  UsedBlocks& used = run.used_blocks;
  const UsedBlocks::Use use =
      used.began(address, earlier)
          ? UsedBlocks::Use::reused
          : used.use(address, size == 0 ? 0 : measure_image(run.image, address, size), name_address, earlier);
  switch (use) {
    case UsedBlocks::Use::first:
      return true;
    case UsedBlocks::Use::reused:
      read_image_string(run.image, earlier, why);
      why = "reuses the data of " + printable(why);
      return false;
    case UsedBlocks::Use::too_many:
      break;
  }
  why = "uses more blocks than xipsaw keeps track of";
  return false;
}

bool claim_block(Run& run, uint32_t address, uint32_t size, uint32_t name_address) {
  std::string why;
  if (use_block(run, address, size, name_address, why)) return true;
  ++run.failed_entries;
  say(run.out, "%s %s\n", printable(run.entry).c_str(), why.c_str());
  return false;
}

}  // namespace xipsaw
