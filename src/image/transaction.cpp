#include "image/transaction.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "image/image.h"
#include "image/journal.h"

namespace xipsaw {

namespace {

constexpr uint32_t kCopiedWrite = 64;  // writes up to this size are copied when staged
constexpr size_t kSlice = size_t{1} << 16;

using Interval = std::pair<int64_t, int64_t>;  // [first, end) of BIN file positions

}  // namespace

// Each record the unit touches, in file order: its header position, its old
// header and the changed ranges of its data. Records whose data the file
// does not hold in full keep their checksum, which cannot be recomputed; the
// changes to a raw image are one "record" without a header.
struct Transaction::Plan {
  struct Record {
    int64_t header_position = 0;
    BinRecord header;
    bool resummed = false;
    std::vector<Interval> changed;  // sorted, disjoint
  };
  std::vector<Record> records;
};

Transaction::Transaction(Image& image) : image_(image) { image_.transaction = this; }

Transaction::~Transaction() { image_.transaction = nullptr; }

void Transaction::stage(int64_t position, int64_t header_position, const uint8_t* bytes, uint32_t count) {
  if (count == 0) return;
  Staged write{position, header_position, count, bytes, {}};
  if (count <= kCopiedWrite) {
    write.copy.assign(bytes, bytes + count);
    write.borrowed = nullptr;
  }
  staged_.push_back(std::move(write));
}

void Transaction::overlay(int64_t position, uint8_t* bytes, size_t count) const {
  const int64_t end = position + static_cast<int64_t>(count);
  for (const Staged& w : staged_) {
    const int64_t first = std::max(position, w.position);
    const int64_t last = std::min(end, w.position + w.count);
    if (first < last)
      std::memcpy(bytes + (first - position), w.bytes() + (first - w.position), static_cast<size_t>(last - first));
  }
}

// Reads every touched record once, in slices: the old bytes of the changed
// ranges go into the journal, and the old bytes with the staged ones laid
// over them give the record's new checksum.
bool Transaction::prepare(Plan& plan, const std::string& journal_path) {
  BinStream& stream = *image_.stream;
  const int64_t file_size = stream.size();
  uint32_t range_count = 0;
  std::vector<int64_t> headers;
  for (const Staged& w : staged_) {
    // A unit never grows the file: the journal could not undo that.
    if (w.position < 0 || w.position + w.count > file_size) return false;
    headers.push_back(w.header_position);
  }
  std::sort(headers.begin(), headers.end());
  headers.erase(std::unique(headers.begin(), headers.end()), headers.end());
  for (int64_t h : headers) {
    Plan::Record& record = plan.records.emplace_back();
    record.header_position = h;
    // A raw image's bytes belong to no record: they are journaled, with no
    // checksum to resum.
    if (h != kNoRecordHeader) {
      if (!BinRecord::read(stream, h, record.header)) return false;
      record.resummed = h + kRecordHeaderSize + record.header.length <= file_size;
    }
    for (const Staged& w : staged_)
      if (w.header_position == h) record.changed.emplace_back(w.position, w.position + w.count);
    std::sort(record.changed.begin(), record.changed.end());
    std::vector<Interval> merged;
    for (const Interval& i : record.changed) {
      if (!merged.empty() && i.first <= merged.back().second)
        merged.back().second = std::max(merged.back().second, i.second);
      else
        merged.push_back(i);
    }
    record.changed = std::move(merged);
    range_count += static_cast<uint32_t>(record.changed.size()) + (record.resummed ? 1 : 0);
  }

  JournalWriter journal;
  if (!journal.begin(journal_path, file_size, range_count)) return false;
  std::vector<uint8_t> slice(kSlice);
  for (Plan::Record& record : plan.records) {
    const int64_t data = record.header_position + kRecordHeaderSize;
    const int64_t data_end = data + record.header.length;
    if (record.resummed) {
      uint8_t header[kRecordHeaderSize];
      record.header.store(header);
      journal.add_range(record.header_position, kRecordHeaderSize);
      journal.add_bytes(header, kRecordHeaderSize);
    }
    // A resummed record is read whole; of another, only its changed ranges.
    std::vector<Interval> reads = record.resummed ? std::vector<Interval>{{data, data_end}} : record.changed;
    uint32_t sum = 0;
    for (const Interval& read : reads) {
      for (int64_t at = read.first; at < read.second;) {
        const size_t n = static_cast<size_t>(std::min<int64_t>(kSlice, read.second - at));
        stream.seek(at);
        if (stream.read(slice.data(), n) != n) return false;
        const int64_t slice_end = at + static_cast<int64_t>(n);
        for (const Interval& c : record.changed) {
          const int64_t first = std::max(c.first, at);
          const int64_t last = std::min(c.second, slice_end);
          if (first >= last) continue;
          if (first == c.first) journal.add_range(c.first, static_cast<uint32_t>(c.second - c.first));
          journal.add_bytes(slice.data() + (first - at), static_cast<size_t>(last - first));
        }
        overlay(at, slice.data(), n);
        for (size_t i = 0; i < n; ++i) sum += slice[i];
        at = slice_end;
      }
    }
    record.header.checksum = sum;
  }
  return journal.finish();
}

bool Transaction::apply(const Plan& plan) {
  BinStream& stream = *image_.stream;
  for (const Staged& w : staged_) {
    stream.seek(w.position);
    if (stream.write(w.bytes(), w.count) != w.count) return false;
  }
  for (const Plan::Record& record : plan.records) {
    if (!record.resummed) continue;
    uint8_t header[kRecordHeaderSize];
    record.header.store(header);
    stream.seek(record.header_position);
    if (stream.write(header, kRecordHeaderSize) != kRecordHeaderSize) return false;
  }
  return stream.flush();
}

CommitResult Transaction::commit(const std::string& journal_path) {
  if (staged_.empty()) return CommitResult::committed;
  Plan plan;
  CommitResult result = CommitResult::not_started;
  if (prepare(plan, journal_path)) {
    if (apply(plan) && remove_journal(journal_path))
      result = CommitResult::committed;
    else
      result = play_back_journal(*image_.stream, journal_path) == Playback::restored ? CommitResult::undone
                                                                                     : CommitResult::journal_kept;
  }
  staged_.clear();
  return result;
}

}  // namespace xipsaw
