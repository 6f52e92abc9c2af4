// The rollback journal of the BIN file. Before a unit of change touches the
// BIN file, the old bytes of every range it is about to write go into a
// journal beside it, with a checksum of the journal itself, flushed to the
// disk. Playing the journal back puts the old bytes back; a journal whose
// checksum fails was never completed, so the BIN file was never touched.
//
// Journal layout, little-endian: the 8 bytes "XIPSAWJ1", the BIN file's size
// (8 bytes), the number of ranges (4), then per range its BIN file position
// (8), its length (4) and its old bytes, and last a 64-bit FNV-1a hash of
// everything before it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/journal_path.h"
#include "image/bin_stream.h"

namespace xipsaw {

// Writes a journal in one sequential pass: begin, then for each range
// add_range followed by exactly its length in add_bytes calls, then finish.
class JournalWriter {
 public:
  JournalWriter() = default;
  JournalWriter(const JournalWriter&) = delete;
  JournalWriter& operator=(const JournalWriter&) = delete;
  ~JournalWriter();

  bool begin(const std::string& path, int64_t bin_size, uint32_t range_count);
  void add_range(int64_t position, uint32_t length);
  void add_bytes(const uint8_t* bytes, size_t count);
  // Writes the hash, flushes the journal and its directory to the disk.
  // False when any write or flush failed; the journal is then removed.
  bool finish();

 private:
  void put(const void* bytes, size_t count);

  std::FILE* file_ = nullptr;
  std::string path_;
  uint64_t hash_ = 0;
  bool ok_ = false;
};

// Removes a journal and makes the removal durable where the system needs
// that. True when the journal is gone.
bool remove_journal(const std::string& path);

enum class Playback {
  none,       // there is no journal
  restored,   // the old bytes are back in the BIN file, flushed; the journal is gone
  discarded,  // the journal was incomplete, so the BIN file was never touched; it is gone
  failed,     // the journal could not be played back (nor removed); it stays
};

// Plays back the journal at path into the BIN file of stream: only bytes
// that differ from the journal's are written, so playing back twice is
// harmless and ranges that were never written (holes of a sparse file
// included) cost nothing. The stream is left at the start of the file.
Playback play_back_journal(BinStream& stream, const std::string& path);

}  // namespace xipsaw
