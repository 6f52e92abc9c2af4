// Where the bytes of an image lie in the file. A file holds an image in one
// of two kinds: the records of a BIN container, each a run of addresses
// whose checksum every write must keep right, or the stretch of a raw image,
// the file from the image's first byte on at consecutive addresses, with
// nothing to keep right. Both answer the same questions: which stretch of
// the file holds an address, which stretches there are, in file order, and
// what the container says of the image: its first address, its extent, its
// length, its launch address, its records. Addresses are taken modulo 2^32:
// an image may run across the top of the address space on to address 0.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/offset_name.h"
#include "image/bin_stream.h"

namespace xipsaw {

inline constexpr int64_t kNoRecordHeader = -1;
inline constexpr uint64_t kAddressSpaceEnd = uint64_t{1} << 32;  // just past the last address

// A run of consecutive addresses [address, end) whose first byte lies at
// data_position in the file. header_position is the position of the BIN
// record header whose checksum sums the run, kNoRecordHeader for a raw
// image.
struct Stretch {
  uint32_t address = 0;
  uint32_t end = 0;
  int64_t data_position = 0;
  int64_t header_position = kNoRecordHeader;
};

// The addresses an image spans: length of them from first on, modulo 2^32
// (so at most 2^32).
struct ImageExtent {
  uint32_t first = 0;
  uint64_t length = 0;
};

// Where an address lies from an image's first: an address less than 2 GiB
// past it, modulo 2^32, lies at or above it, any other below it. No image
// spans 2 GiB, so an image that runs across the top of the address space
// still has all of its addresses above its first.
inline bool lies_above(uint32_t first, uint32_t address) { return address - first < 0x80000000u; }

// A problem that a container's own check finds, as a line of text.
using ReportProblem = std::function<void(const std::string& problem)>;

class ImageStore {
 public:
  virtual ~ImageStore() = default;

  // The image's first address, as the container gives it.
  virtual uint32_t first_address() const = 0;
  // The addresses the image spans, from its first address to stated_end,
  // the end its ROM header gives (physlast in the store's addresses), or to
  // the end of what the container holds. stated_end says nothing where it
  // does not lie above the first address.
  virtual ImageExtent extent(BinStream& stream, uint32_t stated_end) = 0;
  // The image's length as the container gives it, or stated, its ROM
  // header's, where the container gives none.
  virtual uint32_t length(uint32_t stated) const = 0;
  // Where a boot loader jumps once the image is in place, as the container
  // records it; nothing where it records none.
  virtual std::optional<uint32_t> launch_address(BinStream& stream) = 0;
  // Whether the container's kind records a launch address, so that a
  // container without one lacks it.
  virtual bool records_launch_address() const = 0;
  // The container in a few words: "BIN container, 3 records".
  virtual std::string describe(BinStream& stream) = 0;
  // Checks the container's own structure (a BIN file's records, their
  // checksums and overlaps) and returns how many records it has.
  virtual uint32_t check(BinStream& stream, const ReportProblem& problem) = 0;

  // The stretch that holds address, in the image's own addresses, or false
  // when none does. The stream's position is the same after as before.
  virtual bool find(BinStream& stream, uint32_t address, Stretch& stretch) = 0;

  // Visits the stretches in file order, each with its address, its length
  // and the position of its data, until visit returns false.
  using Visit = std::function<bool(uint32_t address, uint32_t length, int64_t data_position)>;
  virtual void visit(BinStream& stream, const Visit& visit) = 0;

  // For a walk of the image in address order: the stretch that holds
  // address, or else the first that begins above it, cut to the addresses
  // from address on at which find() would give it. False when none lies at
  // or above address. Only a complete store answers for every record.
  virtual bool next(BinStream& stream, uint32_t address, Stretch& stretch) = 0;
  virtual bool complete() const { return true; }

  // Size of the file, as learnt by the first find.
  virtual int64_t file_size() const = 0;
};

// A raw image: the file from offset on, at addresses from address up, to the
// end of the file or of the 32-bit address space.
class RawImage final : public ImageStore {
 public:
  RawImage(int64_t offset, uint32_t address, int64_t file_size)
      : offset_(offset), address_(address), file_size_(file_size) {
    const int64_t held = file_size > offset ? file_size - offset : 0;
    // The last address, 0xFFFFFFFF, is left out, so that end stays above
    // address as it does for every record that can be located.
    length_ = static_cast<uint32_t>(std::min<int64_t>(held, int64_t{0xFFFFFFFF} - address));
  }

  bool find(BinStream&, uint32_t address, Stretch& stretch) override {
    if (address - address_ >= length_) return false;
    stretch = {address_, address_ + length_, offset_, kNoRecordHeader};
    return true;
  }
  void visit(BinStream&, const Visit& visit) override { visit(address_, length_, offset_); }
  bool next(BinStream&, uint32_t address, Stretch& stretch) override {
    if (length_ == 0 || (address >= address_ && address - address_ >= length_)) return false;
    const uint32_t from = std::max(address, address_);
    stretch = {from, address_ + length_, offset_ + (from - address_), kNoRecordHeader};
    return true;
  }
  int64_t file_size() const override { return file_size_; }

  uint32_t first_address() const override { return address_; }
  // To the stated end or the end of the file, whichever comes first, so that
  // the padding of a flash partition is not taken for image.
  ImageExtent extent(BinStream&, uint32_t stated_end) override {
    const uint32_t stated = stated_end - address_;
    return {address_, stated != 0 && lies_above(address_, stated_end) ? std::min(stated, length_) : length_};
  }
  uint32_t length(uint32_t stated) const override { return stated; }
  std::optional<uint32_t> launch_address(BinStream&) override { return std::nullopt; }
  bool records_launch_address() const override { return false; }
  std::string describe(BinStream&) override { return "raw image at file offset " + offset_name(offset_); }
  uint32_t check(BinStream&, const ReportProblem&) override { return 0; }

 private:
  int64_t offset_;
  uint32_t address_;
  int64_t file_size_;
  uint32_t length_ = 0;
};

}  // namespace xipsaw
