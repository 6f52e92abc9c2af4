// What both passes do to write an entry out: open its output file, copy or
// expand its stored data into it, and close it, with the messages that go
// with each failure. Memory stays bounded whatever sizes the image claims.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "output/output_directory.h"
#include "run/run.h"

namespace xipsaw {

// Opens name below the output directory, which the caller has prepared
// (created and opened at the run's first extraction). Prints "Unable to
// open %s" with the output path and returns false when it cannot be written
// (see OutputDirectory::open).
bool open_extracted_file(Run& run, const std::string& name, OutputFile& output);

// Closes the output. Prints "Unable to write %s" and returns false when a
// write or the close failed; the partial file is deleted then.
bool close_extracted_file(Run& run, OutputFile& output);

// Closes the output of an entry that could not be written whole (whole
// false): for extract it stays as far as it was written, as the classic tool
// leaves it, and is closed as close_extracted_file closes it; for unpack it
// is removed, and false returned.
bool finish_extracted_file(Run& run, OutputFile& output, bool whole);

// Prints a failure of the entry being written (run.entry), with the classic
// message: as it stands for extract, after the entry's name for unpack,
// whose walk goes on, so that each line says which entry it concerns.
// Counts the entry as not written whole.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void report_failure(Run& run, const char* format, ...);

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

// A FileEntry's or ModuleEntry's file_time as one 64-bit FILETIME.
template <typename Entry>
uint64_t filetime_of(const Entry& entry) {
  return uint64_t{entry.file_time_high} << 32 | entry.file_time_low;
}

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
