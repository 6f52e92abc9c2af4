#include "image/record_index.h"

#include <algorithm>
#include <functional>
#include <numeric>

#include "common/le.h"

namespace xipsaw {

namespace {

constexpr uint32_t kNone = UINT32_MAX;

// Visits the record headers from position on, in file order, until the end
// record (address 0) or until a whole header can no longer be read.
// visit(address, length, header_position) returns false to stop early.
template <typename Visit>
void walk_records(BinStream& stream, int64_t position, Visit&& visit) {
  uint8_t header[kRecordHeaderSize];
  for (;;) {
    stream.seek(position);
    if (stream.read(header, sizeof header) != sizeof header) return;
    const uint32_t address = load_u32(header);
    const uint32_t length = load_u32(header + 4);
    if (address == 0 || !visit(address, length, position)) return;
    position += kRecordHeaderSize + static_cast<int64_t>(length);
  }
}

}  // namespace

void RecordIndex::build(BinStream& stream, int64_t first_record_position, uint32_t max_records,
                        size_t max_bytes) {
  *this = RecordIndex();
  built_ = true;
  file_size_ = std::max<int64_t>(stream.size(), 0);

  std::vector<Record> records;
  std::vector<HighPart> highs;
  walk_records(stream, first_record_position, [&](uint32_t address, uint32_t length, int64_t position) {
    const uint32_t end = address + length;
    if (end <= address) return true;  // never located
    if (records.size() == max_records) {
      tail_position_ = position;
      return false;
    }
    const auto high = static_cast<uint32_t>(static_cast<uint64_t>(position) >> 32);
    if (high != (highs.empty() ? 0 : highs.back().high))
      highs.push_back({static_cast<uint32_t>(records.size()), high});
    records.push_back({address, end, static_cast<uint32_t>(position)});
    return true;
  });

  // Fewer records when the map of all of them would take too much memory;
  // the ones left out become the tail.
  size_t n = records.size();
  while (!map(records, highs, n, max_bytes)) {
    n /= 2;
    tail_position_ = position_of(records, highs, static_cast<uint32_t>(n));
  }
}

bool RecordIndex::map(std::vector<Record>& records, std::vector<HighPart>& highs, size_t n, size_t max_bytes) {
  const size_t max_runs = max_bytes / sizeof(Run);
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(),
            [&records](uint32_t a, uint32_t b) { return records[a].address < records[b].address; });

  // The sweep visits the points where the first covering record can change:
  // the records' starts, and the end of the record that covers the point.
  // The heap holds the records that have started, the first in file order
  // on top; records that have ended leave it when they come to the top.
  std::vector<Run> runs;
  runs.reserve(std::min(max_runs, 2 * n));
  {
    std::vector<uint32_t> active;
    const std::greater<uint32_t> later;
    size_t next = 0;
    uint32_t owner = kNone;
    while (next < n || !active.empty()) {
      uint32_t at = next < n ? records[order[next]].address : UINT32_MAX;
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
        if (runs.size() == max_runs) return false;
        runs.push_back({at, now});
      }
      owner = now;
    }
  }

  // Keep only the records that some run names, numbered anew in file order,
  // if the map then fits.
  std::vector<uint32_t>& renumber = order;
  std::fill(renumber.begin(), renumber.end(), kNone);
  for (const Run& run : runs) renumber[run.record] = 0;
  std::vector<HighPart> kept_highs;
  uint32_t kept = 0;
  size_t high_index = 0;
  for (uint32_t i = 0; i < n; ++i) {
    while (high_index < highs.size() && highs[high_index].first <= i) ++high_index;
    const uint32_t high = high_index == 0 ? 0 : highs[high_index - 1].high;
    if (renumber[i] == kNone) continue;
    if (high != (kept_highs.empty() ? 0 : kept_highs.back().high)) kept_highs.push_back({kept, high});
    renumber[i] = kept++;
  }
  if (size_t{kept} * sizeof(Record) + runs.size() * sizeof(Run) + kept_highs.size() * sizeof(HighPart) > max_bytes)
    return false;
  for (Run& run : runs) run.record = renumber[run.record];
  for (uint32_t i = 0; i < n; ++i)
    if (renumber[i] != kNone) records[renumber[i]] = records[i];
  std::vector<uint32_t>().swap(order);
  // Storage that was never written is not resident, so the vectors are kept
  // as they are unless many records were dropped.
  records.resize(kept);
  if (kept < n / 2) records.shrink_to_fit();
  records_ = std::move(records);
  highs_ = std::move(kept_highs);
  runs_ = std::move(runs);
  return true;
}

int64_t RecordIndex::position_of(const std::vector<Record>& records, const std::vector<HighPart>& highs,
                                 uint32_t record) {
  auto it = std::upper_bound(highs.begin(), highs.end(), record,
                             [](uint32_t r, const HighPart& h) { return r < h.first; });
  const uint64_t high = it == highs.begin() ? 0 : (it - 1)->high;
  return static_cast<int64_t>(high << 32 | records[record].position_low);
}

bool RecordIndex::find(BinStream& stream, uint32_t address, RecordSpan& record) const {
  auto it = std::upper_bound(runs_.begin(), runs_.end(), address,
                             [](uint32_t a, const Run& run) { return a < run.start; });
  if (it != runs_.begin()) {
    const uint32_t index = (it - 1)->record;
    const Record& r = records_[index];
    if (address < r.end) {
      record = {r.address, r.end, position_of(records_, highs_, index)};
      return true;
    }
  }
  if (tail_position_ < 0) return false;
  bool found = false;
  walk_records(stream, tail_position_, [&](uint32_t start, uint32_t length, int64_t position) {
    const uint32_t end = start + length;
    found = start <= address && address < end;
    if (found) record = {start, end, position};
    return !found;
  });
  return found;
}

size_t RecordIndex::memory() const {
  return records_.size() * sizeof(Record) + highs_.size() * sizeof(HighPart) + runs_.size() * sizeof(Run);
}

}  // namespace xipsaw
