#include "image/record_index.h"

#include <algorithm>
#include <functional>
#include <numeric>


namespace xipsaw {

namespace {

constexpr uint32_t kNone = UINT32_MAX;

// Visits the record headers from position on, in file order, until the end
// record or until a whole header can no longer be read.
// visit(address, length, header_position) returns false to stop early.
template <typename Visit>
void walk_records(BinStream& stream, int64_t position, Visit&& visit) {
  BinRecord record;
  while (BinRecord::read(stream, position, record) && !record.is_end() &&
         visit(record.address, record.length, position))
    position += kRecordHeaderSize + static_cast<int64_t>(record.length);
}

}  // namespace

void RecordIndex::build(BinStream& stream, int64_t first_record_position, uint32_t max_records,
                        size_t max_bytes) {
  *this = RecordIndex(first_record_position, header_);
  built_ = true;
  file_size_ = std::max<int64_t>(stream.size(), 0);

  std::vector<Record> records;
  walk_records(stream, first_record_position, [&](uint32_t address, uint32_t length, int64_t position) {
    if (length == 0) return true;  // never located
    if (records.size() >= max_records) {
      tail_position_ = position;
      return false;
    }
    const uint64_t end = uint64_t{address} + length;
    records.push_back({address, std::min(end, kAddressSpaceEnd), position});
    if (end > kAddressSpaceEnd) records.push_back({0, end - kAddressSpaceEnd, position});
    return true;
  });

  // Fewer records when the map of all of them would take too much memory;
  // the ones left out become the tail.
  size_t n = records.size();
  while (!map(records, n, max_bytes)) {
    n /= 2;
    tail_position_ = records[n].header_position;
  }
}

bool RecordIndex::map(const std::vector<Record>& records, size_t n, size_t max_bytes) {
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(),
            [&records](uint32_t a, uint32_t b) { return records[a].address < records[b].address; });

  // The sweep visits the points where the first covering record can change:
  // the records' starts, and the end of the record that covers the point.
  // The heap holds the records that have started, the first in file order
  // on top; records that have ended leave it when they come to the top.
  std::vector<Run> runs;
  std::vector<HighPart> highs;
  runs.reserve(std::min(max_bytes / sizeof(Run), 2 * n));
  std::vector<uint32_t> active;
  const std::greater<uint32_t> later;
  size_t next = 0;
  uint32_t owner = kNone;
  while (next < n || !active.empty()) {
    uint64_t at = next < n ? records[order[next]].address : kAddressSpaceEnd;
    if (!active.empty()) at = std::min(at, records[active.front()].end);
    for (; next < n && records[order[next]].address == at; ++next) {
      active.push_back(order[next]);
      std::push_heap(active.begin(), active.end(), later);
    }
    while (!active.empty() && records[active.front()].end <= at) {
      std::pop_heap(active.begin(), active.end(), later);
      active.pop_back();
    }
    const uint32_t now = active.empty() ? kNone : active.front();
    if (now != owner && now != kNone) {
      const auto position = static_cast<uint64_t>(records[now].header_position);
      const auto high = static_cast<uint32_t>(position >> 32);
      if (high != (highs.empty() ? 0 : highs.back().high)) highs.push_back({static_cast<uint32_t>(runs.size()), high});
      if ((runs.size() + 1) * sizeof(Run) + highs.size() * sizeof(HighPart) > max_bytes) return false;
      runs.push_back({static_cast<uint32_t>(at), static_cast<uint32_t>(position)});
    }
    owner = now;
  }
  runs_ = std::move(runs);
  highs_ = std::move(highs);
  return true;
}

bool RecordIndex::find(BinStream& stream, uint32_t address, Stretch& record) {
  if (!built_) build(stream, first_record_position_);
  return lookup(stream, address, record);
}

void RecordIndex::visit(BinStream& stream, const Visit& visit) {
  const int64_t saved = stream.tell();
  walk_records(stream, first_record_position_, [&](uint32_t address, uint32_t length, int64_t position) {
    return visit(address, length, position + kRecordHeaderSize);
  });
  stream.seek(saved);
}

int64_t RecordIndex::owner_position(size_t index) const {
  auto high = std::upper_bound(highs_.begin(), highs_.end(), static_cast<uint32_t>(index),
                               [](uint32_t i, const HighPart& h) { return i < h.first; });
  const uint64_t high_half = high == highs_.begin() ? 0 : (high - 1)->high;
  return static_cast<int64_t>(high_half << 32 | runs_[index].position_low);
}

bool RecordIndex::read_record(BinStream& stream, int64_t position, Stretch& record) {
  BinRecord header;
  if (!BinRecord::read(stream, position, header)) return false;
  record = {header.address, header.address + header.length, position + kRecordHeaderSize, position};
  return true;
}

bool RecordIndex::next(BinStream& stream, uint32_t address, Stretch& stretch) {
  if (!built_) build(stream, first_record_position_);
  const int64_t saved = stream.tell();
  auto it = std::upper_bound(runs_.begin(), runs_.end(), address,
                             [](uint32_t a, const Run& run) { return a < run.start; });
  // The run that holds address, where its record still covers it, or the
  // next run, whose record covers its start.
  bool found = false;
  for (size_t k = it == runs_.begin() ? 0 : static_cast<size_t>(it - runs_.begin()) - 1;
       k < runs_.size() && !found; ++k) {
    Stretch record;
    if (!read_record(stream, owner_position(k), record)) continue;
    const uint32_t from = std::max(address, runs_[k].start);
    // The record's end on the run's side of 2^32: a record that runs across
    // it has a run below its own address only in its part from 0 on.
    const uint64_t length = record.end - record.address;
    const uint64_t end =
        runs_[k].start >= record.address ? std::min(record.address + length, kAddressSpaceEnd) : record.end;
    const uint64_t to = k + 1 < runs_.size() ? std::min<uint64_t>(end, runs_[k + 1].start) : end;
    found = from < to;
    if (found)
      stretch = {from, static_cast<uint32_t>(to), record.data_position + (from - record.address),
                 record.header_position};
  }
  stream.seek(saved);
  return found;
}

bool RecordIndex::lookup(BinStream& stream, uint32_t address, Stretch& record) const {
  const int64_t saved = stream.tell();
  bool found = false;
  auto it = std::upper_bound(runs_.begin(), runs_.end(), address,
                             [](uint32_t a, const Run& run) { return a < run.start; });
  if (it != runs_.begin() && read_record(stream, owner_position(static_cast<size_t>(it - 1 - runs_.begin())), record))
    found = address - record.address < record.end - record.address;
  if (!found && tail_position_ >= 0) {
    walk_records(stream, tail_position_, [&](uint32_t start, uint32_t length, int64_t position) {
      found = address - start < length;
      if (found) record = {start, start + length, position + kRecordHeaderSize, position};
      return !found;
    });
  }
  stream.seek(saved);
  return found;
}

bool find_end_record(BinStream& stream, int64_t first_record_position, BinRecord& end) {
  const int64_t saved = stream.tell();
  int64_t last = -1;
  walk_records(stream, first_record_position, [&](uint32_t, uint32_t length, int64_t position) {
    last = position + kRecordHeaderSize + static_cast<int64_t>(length);
    return true;
  });
  // The walk stops at the end record, or where no whole header is left.
  BinRecord header;
  const bool found = BinRecord::read(stream, last < 0 ? first_record_position : last, header) && header.is_end();
  if (found) end = header;
  stream.seek(saved);
  return found;
}

size_t RecordIndex::memory() const { return runs_.size() * sizeof(Run) + highs_.size() * sizeof(HighPart); }

}  // namespace xipsaw
