// What both passes do to write an entry out: open its output file, copy or
// expand its stored data into it, and close it, with the messages that go
// with each failure. Memory stays bounded whatever sizes the image claims.
#pragma once

#include <cstdint>
#include <string>

#include "common/output_path.h"
#include "common/run.h"

namespace xipsaw {

// Opens name below the output directory, which the caller has prepared
// (created and opened at the run's first extraction). Prints "Unable to open %s" with the output path
// and returns false when it cannot be written (see OutputDirectory::open).
bool open_extracted_file(Run& run, const std::string& name, OutputFile& output);

// Closes the output. Prints "Unable to write %s" and returns false when a
// write or the close failed; the partial file is deleted then.
bool close_extracted_file(Run& run, OutputFile& output);

// Copies up to count stored bytes at the image's cursor to output, a slice
// at a time. Returns the bytes copied: fewer when the image holds fewer, or
// when a write failed (output.failed()).
uint32_t copy_stored_data(Image& image, OutputFile& output, uint32_t count);

// Expands the stored_size compressed bytes at the image's cursor with the
// given capacity and writes the expansion to output. Returns the library's
// result, or a negative value on failure (nothing written then); stored
// bytes longer than any that can expand to the capacity fail before they
// are read. As with a copy, fewer bytes than stored_size may be there.
int32_t expand_stored_data(Run& run, OutputFile& output, uint32_t stored_size, uint32_t capacity);

}  // namespace xipsaw
