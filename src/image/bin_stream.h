// The one stream on the BIN file: binary, opened for reading and writing,
// with 64-bit positions so that images above 2 GiB work.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace xipsaw {

class BinStream {
 public:
  BinStream() = default;
  BinStream(const BinStream&) = delete;
  BinStream& operator=(const BinStream&) = delete;
  ~BinStream();

  // Opens an existing file for reading and writing ("r+b"), or for reading
  // only ("rb"); never creates or truncates it.
  bool open(const std::string& path, bool read_only = false);
  bool is_open() const { return file_ != nullptr; }
  // The file's descriptor, -1 when none is open: what tells the BIN file
  // apart from every other file.
  int descriptor() const;

  // Transfers at the current position, which they advance by the bytes
  // actually moved. A change between reading and writing always repositions
  // the underlying stream first, as C streams opened for update require.
  // Small reads are served from a few aligned blocks of the file kept here,
  // so that reads at positions read shortly before (record headers, table
  // entries, names) cost no call into the C stream, whose every seek is a
  // system call; a seek happens only where the C stream stands elsewhere.
  // Writes drop the blocks.
  size_t read(void* buffer, size_t count);
  size_t write(const void* buffer, size_t count);

  void seek(int64_t position) { position_ = position; }
  // Size of the file in bytes, or -1 when it cannot be told.
  int64_t size();
  int64_t tell() const { return position_; }

  // Pushes buffered writes to the file and asks the system to put them on
  // the disk.
  bool flush();

  // Bytes delivered by read() since the stream was opened.
  uint64_t bytes_read() const { return bytes_read_; }

  // For tests: once `bytes` more bytes have been written, the write that
  // would go beyond them comes up short, as on an I/O error. With `lasting`,
  // every later write and flush fails too, as on a full disk.
  void fail_writes_after(int64_t bytes, bool lasting) {
    write_budget_ = bytes;
    budget_lasting_ = lasting;
  }

 private:
  enum class LastOp { none, read, write };
  bool sync_position(LastOp next);
  // Reads straight from the C stream at the current position.
  size_t read_file(uint8_t* buffer, size_t count);
  void drop_blocks();

  std::FILE* file_ = nullptr;
  int64_t position_ = 0;         // logical position of the next transfer
  int64_t file_position_ = -1;   // where the C stream stands, -1 if unknown
  LastOp last_ = LastOp::none;
  static constexpr size_t kBlockSize = 4096;
  struct Block {
    std::array<uint8_t, kBlockSize> bytes;
    int64_t start = 0;  // a multiple of kBlockSize
    size_t size = 0;    // bytes of the file held; 0: none
    uint64_t used = 0;  // when it was last read from
  };
  std::array<Block, 4> blocks_{};
  uint64_t uses_ = 0;
  uint64_t bytes_read_ = 0;
  int64_t write_budget_ = -1;  // bytes left before an injected failure; -1: none
  bool budget_lasting_ = false;
};

}  // namespace xipsaw
