// Where the bytes of an image lie in the file. A file holds an image in one
// of two kinds: the records of a BIN container, each a run of addresses
// whose checksum every write must keep right, or the stretch of a raw image,
// the file from the image's first byte on at consecutive addresses, with
// nothing to keep right. Both answer the same questions: which stretch of
// the file holds an address, and which stretches there are, in file order.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>

#include "image/bin_stream.h"

namespace xipsaw {

inline constexpr int64_t kNoRecordHeader = -1;

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

class ImageStore {
 public:
  virtual ~ImageStore() = default;

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

 private:
  int64_t offset_;
  uint32_t address_;
  int64_t file_size_;
  uint32_t length_ = 0;
};

}  // namespace xipsaw
