// Which blocks of an image its entries have used: an entry may not use the
// header, section table or stored data of an earlier one.
#pragma once

#include <cstdint>
#include <string>

#include "run/run.h"

namespace xipsaw {

// Whether the entry whose name lies at name_address may use the block (a
// header, a section table or stored data) of size bytes at address of
// run.image: not when an earlier entry's block began there, or when the
// bytes of it that the image holds are shared with earlier blocks beyond
// what the image has left to share (see UsedBlocks). why then says so,
// after the entry's name: "reuses the data of" the earlier entry's name.
bool use_block(Run& run, uint32_t address, uint32_t size, uint32_t name_address, std::string& why);

// use_block for the entry being written (run.entry): a refusal is printed
// ("%s reuses the data of %s") and counts the entry as not written whole.
bool claim_block(Run& run, uint32_t address, uint32_t size, uint32_t name_address);

}  // namespace xipsaw
