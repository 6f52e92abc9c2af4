// The records of a BIN file, read once, as a map from image addresses to the
// record that holds them: the first record in file order that covers the
// address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/bin_layout.h"
#include "image/bin_stream.h"
#include "image/image_store.h"

namespace xipsaw {

// The map is a sorted array of runs: stretches of addresses over which the
// first covering record stays the same, each with the position of that
// record's header. Building it sorts the records by address and sweeps them
// with a heap of the records that cover the sweep's point, ordered by file
// position: O(n log n) for n records. A lookup is a binary search over the
// runs, then a read of the record's header, which the stream's block of the
// file usually holds already, and which the read of the record's data needs
// next anyway.
//
// Memory: 8 bytes per run, at most 2n - 1 runs. A BIN file can hold hundreds
// of millions of records, so the index takes at most max_records of them
// (16 bytes each while it is built), and fewer when its map would take more
// than max_bytes. Records of length 0 can never be located and are not
// counted; a record that runs across the top of the address space holds its
// addresses up to 2^32 and from 0 on, and counts twice. The records after the
// indexed ones are the index's tail: an address that no indexed record
// covers is looked for by walking the tail's headers in file order, as the
// record stream's plain walk would. Images with fewer records than the
// limits, which is every real one, never walk.
class RecordIndex final : public ImageStore {
 public:
  static constexpr uint32_t kMaxRecords = 1u << 20;
  static constexpr size_t kMaxBytes = size_t{8} << 20;

  // The records of the container whose header is given, the first of them
  // at first_record_position; the map is built at the first lookup.
  explicit RecordIndex(int64_t first_record_position = 0, BinHeader header = {})
      : first_record_position_(first_record_position), header_(header) {}

  // Walks the record headers from first_record_position to the end record,
  // or to where a whole header can no longer be read.
  void build(BinStream& stream, int64_t first_record_position, uint32_t max_records = kMaxRecords,
             size_t max_bytes = kMaxBytes);
  bool built() const { return built_; }

  // The record that holds address, or false when no record does.
  bool find(BinStream& stream, uint32_t address, Stretch& record) override;
  void visit(BinStream& stream, const Visit& visit) override;
  // Answers from the map alone: the records of the tail are not seen.
  bool next(BinStream& stream, uint32_t address, Stretch& stretch) override;

  int64_t file_size() const override { return file_size_; }
  // Whether every record of the file is in the map (no tail).
  bool complete() const override { return built_ && tail_position_ < 0; }
  // Bytes held by the map.
  size_t memory() const;

  // The container's answers (see bin_container.cpp).
  uint32_t first_address() const override { return header_.image_start; }
  // To the stated end or the furthest end of a record above the first
  // address, whichever is further.
  ImageExtent extent(BinStream& stream, uint32_t stated_end) override;
  uint32_t length(uint32_t) const override { return header_.image_length; }
  // The end record's length.
  std::optional<uint32_t> launch_address(BinStream& stream) override;
  bool records_launch_address() const override { return true; }
  std::string describe(BinStream& stream) override;
  // The chain from the first record to the end record: each record inside
  // the file, its checksum the sum of its data, and its addresses covered
  // by no earlier record.
  uint32_t check(BinStream& stream, const ReportProblem& problem) override;

 private:
  struct Record {  // as read while the map is built: a record, or its part on one side of 2^32
    uint32_t address;
    uint64_t end;  // at most 2^32
    int64_t header_position;
  };
  struct Run {
    uint32_t start;         // first address of the run
    uint32_t position_low;  // low 32 bits of the record's header position
  };
  struct HighPart {  // header positions from runs_[first] on have this high half
    uint32_t first;
    uint32_t high;
  };

  // Maps the first n records; false when the map would exceed max_bytes.
  bool map(const std::vector<Record>& records, size_t n, size_t max_bytes);

  bool lookup(BinStream& stream, uint32_t address, Stretch& record) const;
  // The header position of the record that owns runs_[index].
  int64_t owner_position(size_t index) const;
  // The record whose header lies at position, when a whole header is read.
  static bool read_record(BinStream& stream, int64_t position, Stretch& record);

  int64_t first_record_position_ = 0;
  BinHeader header_;
  bool built_ = false;
  int64_t file_size_ = 0;
  int64_t tail_position_ = -1;  // header of the first record not indexed, -1 when none
  std::vector<Run> runs_;        // in address order
  std::vector<HighPart> highs_;  // for positions at or past 4 GiB, in order of first
};

// The end record of the records whose first header lies at
// first_record_position: the header at which a walk of the file ends. False
// when the file ends first.
bool find_end_record(BinStream& stream, int64_t first_record_position, BinRecord& end);

}  // namespace xipsaw
