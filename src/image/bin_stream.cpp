#include "image/bin_stream.h"

#include <algorithm>
#include <cstring>

#include "common/native_path.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace xipsaw {

namespace {

bool seek_file(std::FILE* file, int64_t position) {
#if defined(_WIN32)
  return _fseeki64(file, position, SEEK_SET) == 0;
#else
  return fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
#endif
}

}  // namespace

BinStream::~BinStream() {
  if (file_ != nullptr) std::fclose(file_);
}

bool BinStream::open(const std::string& path, bool read_only) {
  file_ = open_file(path, read_only ? "rb" : "r+b");
  position_ = 0;
  drop_blocks();
  file_position_ = file_ != nullptr ? 0 : -1;
  last_ = LastOp::none;
  return file_ != nullptr;
}

int BinStream::descriptor() const {
  if (file_ == nullptr) return -1;
#if defined(_WIN32)
  return _fileno(file_);
#else
  return fileno(file_);
#endif
}

bool BinStream::sync_position(LastOp next) {
  if (position_ < 0) return false;
  if (last_ != next || file_position_ != position_) {
    if (!seek_file(file_, position_)) {
      file_position_ = -1;
      return false;
    }
    file_position_ = position_;
  }
  last_ = next;
  return true;
}

size_t BinStream::read(void* buffer, size_t count) {
  if (file_ == nullptr || position_ < 0) return 0;
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    const int64_t at = position_;
    const int64_t start = at - at % static_cast<int64_t>(kBlockSize);
    Block* block = nullptr;
    for (Block& b : blocks_)
      if (b.size != 0 && b.start == start) block = &b;
    if (block == nullptr && count - done >= kBlockSize) {
      done += read_file(out + done, count - done);
      break;
    }
    if (block == nullptr) {
      // Take the whole aligned block that holds the position, in place of
      // the one used least recently.
      block = &*std::min_element(blocks_.begin(), blocks_.end(),
                                 [](const Block& a, const Block& b) { return a.used < b.used; });
      block->size = 0;
      position_ = start;
      block->size = read_file(block->bytes.data(), kBlockSize);
      block->start = start;
      position_ = at;
    }
    block->used = ++uses_;
    const int64_t end = block->start + static_cast<int64_t>(block->size);
    if (at >= end) break;  // the end of the file
    const size_t n = std::min(count - done, static_cast<size_t>(end - at));
    std::memcpy(out + done, block->bytes.data() + (at - block->start), n);
    done += n;
    position_ += static_cast<int64_t>(n);
  }
  bytes_read_ += done;
  return done;
}

void BinStream::drop_blocks() {
  for (Block& b : blocks_) b.size = 0;
}

size_t BinStream::read_file(uint8_t* buffer, size_t count) {
  if (!sync_position(LastOp::read)) return 0;
  size_t got = std::fread(buffer, 1, count, file_);
  if (got < count) std::clearerr(file_);
  position_ += static_cast<int64_t>(got);
  file_position_ = position_;
  return got;
}

size_t BinStream::write(const void* buffer, size_t count) {
  drop_blocks();  // they may hold what this write changes
  if (file_ == nullptr || count == 0 || !sync_position(LastOp::write)) return 0;
  size_t allowed = count;
  if (write_budget_ >= 0 && static_cast<uint64_t>(write_budget_) < count) allowed = static_cast<size_t>(write_budget_);
  size_t put = allowed > 0 ? std::fwrite(buffer, 1, allowed, file_) : 0;
  if (write_budget_ >= 0)
    write_budget_ = put < count ? (budget_lasting_ ? 0 : -1) : write_budget_ - static_cast<int64_t>(put);
  if (put < count) {
    // Push out or drop whatever of the failed write the C stream still
    // buffers, so that no stale byte reaches the file after a later repair.
    std::fflush(file_);
    std::clearerr(file_);
    file_position_ = -1;  // unknown after a failed write; reseek next time
  } else {
    file_position_ = position_ + static_cast<int64_t>(put);
  }
  position_ += static_cast<int64_t>(put);
  return put;
}

int64_t BinStream::size() {
  if (file_ == nullptr) return -1;
  last_ = LastOp::none;
  file_position_ = -1;
#if defined(_WIN32)
  if (_fseeki64(file_, 0, SEEK_END) != 0) return -1;
  return _ftelli64(file_);
#else
  if (fseeko(file_, 0, SEEK_END) != 0) return -1;
  return static_cast<int64_t>(ftello(file_));
#endif
}

bool BinStream::flush() {
  if (file_ == nullptr) return false;
  bool ok = std::fflush(file_) == 0;
  last_ = LastOp::none;
#if defined(_WIN32)
  ok = _commit(_fileno(file_)) == 0 && ok;
#else
  ok = fsync(fileno(file_)) == 0 && ok;
#endif
  return ok && !(budget_lasting_ && write_budget_ == 0);
}

}  // namespace xipsaw
