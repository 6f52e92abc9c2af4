// Reading a whole file in large blocks, each with a look-ahead past its end,
// for searches that test every byte offset.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "image/bin_stream.h"

namespace xipsaw {

class BlockScan {
 public:
  static constexpr size_t kBlock = size_t{1} << 20;
  static constexpr size_t kLookahead = 128;  // bytes past a block that its tests may read

  BlockScan(BinStream& stream, int64_t file_size) : stream_(stream), file_size_(file_size) {}

  // Calls visit(start, bytes, count) for consecutive blocks that cover the
  // offsets [from, to): bytes holds the file from start on, count offsets
  // and kLookahead more, zero past the end of the file. visit may move the
  // stream. False when the file could not be read.
  template <typename Visit>
  bool run(int64_t from, int64_t to, Visit&& visit) {
    if (from < to) buffer_.resize(static_cast<size_t>(std::min<int64_t>(kBlock, to - from)) + kLookahead);
    for (int64_t start = from; start < to; start += kBlock) {
      const size_t count = static_cast<size_t>(std::min<int64_t>(kBlock, to - start));
      const size_t wanted = static_cast<size_t>(std::min<int64_t>(count + kLookahead, file_size_ - start));
      stream_.seek(start);
      if (stream_.read(buffer_.data(), wanted) != wanted) return false;
      std::memset(buffer_.data() + wanted, 0, count + kLookahead - wanted);
      visit(start, static_cast<const uint8_t*>(buffer_.data()), count);
    }
    return true;
  }

 private:
  BinStream& stream_;
  int64_t file_size_;
  std::vector<uint8_t> buffer_;
};

}  // namespace xipsaw
