// An entry's stored data written out: copied, or expanded by the
// compression library. Memory stays bounded whatever sizes the image
// claims.
#pragma once

#include <cstdint>
#include <memory>

#include "output/output_file.h"
#include "run/run.h"

namespace xipsaw {

// Expands the stored_size bytes at the image's cursor with the given
// capacity: the library's result, the bytes now in expanded, or a negative
// value. Stored bytes longer than any that can expand to the capacity fail
// before they are read.
int32_t expand_at_cursor(Run& run, uint32_t stored_size, uint32_t capacity, std::unique_ptr<uint8_t[]>& expanded);

// Writes an entry's stored data, stored_size bytes at the image's cursor, to
// output: copied a slice at a time, or, when compressed, expanded with the
// given capacity. Sets written to the bytes written: fewer than stored_size
// when the image holds fewer, or when a write failed (output.failed()).
// False when the expansion failed: "Error in CEDecompress()" is reported
// and nothing written; stored bytes longer than any that can expand to the
// capacity fail before they are read.
bool write_stored_data(Run& run, OutputFile& output, uint32_t stored_size, uint32_t capacity, bool compressed,
                       uint32_t& written);

}  // namespace xipsaw
