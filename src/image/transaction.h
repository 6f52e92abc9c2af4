// One unit of change to the BIN file, all or nothing on disk. While a
// Transaction is open on an image, write_image stages its writes instead of
// making them, and reads through read_image see the staged bytes. commit()
// then plans the whole unit (each touched record's new checksum, summed once
// from its old bytes and the new ones), puts the old bytes of every range it
// changes into the rollback journal, writes and flushes the BIN file, and
// removes the journal. If writing the BIN file fails, the old bytes go back
// at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace xipsaw {

struct Image;

enum class CommitResult {
  committed,    // every change is on the disk
  not_started,  // the journal could not be written; the BIN file was not touched
  undone,       // writing the BIN file failed; its old bytes are back on the disk
  journal_kept, // writing the BIN file failed and so did putting the old bytes
                // back; the journal stays, for the next run to play back
};

class Transaction {
 public:
  explicit Transaction(Image& image);
  ~Transaction();  // a unit not committed leaves the BIN file as it was
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // A write of count bytes at a BIN file position inside the data of the
  // record whose header lies at header_position. Bytes of a short write are
  // copied; a longer write refers to the caller's buffer, which must stay as
  // it is until the transaction ends.
  void stage(int64_t position, int64_t header_position, const uint8_t* bytes, uint32_t count);
  // Lays the staged bytes over count bytes read from position.
  void overlay(int64_t position, uint8_t* bytes, size_t count) const;

  CommitResult commit(const std::string& journal_path);

 private:
  struct Staged {
    int64_t position;
    int64_t header_position;
    uint32_t count;
    const uint8_t* borrowed;     // nullptr when the bytes are in copy
    std::vector<uint8_t> copy;
    const uint8_t* bytes() const { return borrowed != nullptr ? borrowed : copy.data(); }
  };
  struct Plan;

  bool prepare(Plan& plan, const std::string& journal_path);
  bool apply(const Plan& plan);

  Image& image_;
  std::vector<Staged> staged_;  // in the order the writes were made
};

}  // namespace xipsaw
