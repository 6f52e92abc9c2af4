// What a BIN container says of its image: its extent, its launch address,
// its records, and whether they are sound.
#include <algorithm>
#include <cstdarg>
#include <map>

#include "image/image.h"

namespace xipsaw {

namespace {

// Separate runs of covered addresses that the overlap check keeps at most
// (16 MiB or so); real images need a handful.
constexpr size_t kMaxCoveredRuns = size_t{1} << 20;

// Adds [start, end) to the runs; false when it meets one of them. end is
// at most 2^32.
bool cover(std::map<uint32_t, uint64_t>& runs, uint32_t start, uint64_t end) {
  if (end <= start) return true;
  auto next = runs.upper_bound(start);
  bool met = false;
  if (next != runs.begin() && std::prev(next)->second > start) met = true;
  if (next != runs.end() && next->first < end) met = true;
  // Merge with every run that meets or touches [start, end).
  uint64_t first = start;
  if (next != runs.begin() && std::prev(next)->second >= start) {
    --next;
    first = next->first;
  }
  while (next != runs.end() && next->first <= end) {
    end = std::max(end, next->second);
    next = runs.erase(next);
  }
  runs[static_cast<uint32_t>(first)] = end;
  return !met;
}

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void report(const ReportProblem& problem, const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  problem(text);
}

}  // namespace

ImageExtent RecordIndex::extent(BinStream& stream, uint32_t stated_end) {
  const uint32_t first = header_.image_start;
  uint64_t length = lies_above(first, stated_end) ? uint32_t{stated_end - first} : 0;
  visit(stream, [&](uint32_t address, uint32_t record_length, int64_t) {
    // A record whose last byte lies above the first address reaches into
    // the image.
    const uint32_t last = address + record_length - 1;
    if (record_length != 0 && lies_above(first, last)) length = std::max<uint64_t>(length, uint64_t{last - first} + 1);
    return true;
  });
  return {first, length};
}

std::optional<uint32_t> RecordIndex::launch_address(BinStream& stream) {
  BinRecord end;
  if (!find_end_record(stream, first_record_position_, end)) return std::nullopt;
  return end.length;
}

std::string RecordIndex::describe(BinStream& stream) {
  uint32_t count = 0;
  visit(stream, [&count](uint32_t, uint32_t, int64_t) { return ++count != 0; });
  return "BIN container, " + std::to_string(count) + " records";
}

uint32_t RecordIndex::check(BinStream& stream, const ReportProblem& problem) {
  const int64_t size = stream.size();
  std::map<uint32_t, uint64_t> covered;  // separate runs [start, end) of earlier records
  bool overlaps_checked = true;
  uint32_t records = 0;
  for (int64_t position = first_record_position_;;) {
    BinRecord record;
    if (!BinRecord::read(stream, position, record)) {
      report(problem, "The records end at file offset %s without an end record", offset_name(position).c_str());
      return records;
    }
    if (record.is_end()) return records;
    ++records;
    char where[80];
    std::snprintf(where, sizeof where, "Record at 0x%08x (file offset %s)", record.address,
                  offset_name(position).c_str());
    const int64_t data = position + static_cast<int64_t>(kRecordHeaderSize);
    if (data + record.length > size) {
      report(problem, "%s: %llu of its %u bytes of data are missing, past the end of the file", where,
             static_cast<unsigned long long>(data + record.length - size), record.length);
      report(problem, "The records end at file offset %s without an end record", offset_name(size).c_str());
      return records;
    }
    uint32_t sum = 0;
    sum_record_data(stream, data, record.length, sum);  // the file holds the data: checked above
    if (sum != record.checksum)
      report(problem, "%s: checksum 0x%08x, but its data sums to 0x%08x", where, record.checksum, sum);
    // A record that runs across the top of the address space covers its
    // addresses up to 2^32 and from 0 on.
    const uint64_t end = uint64_t{record.address} + record.length;
    if (overlaps_checked) {
      const bool apart = cover(covered, record.address, std::min(end, kAddressSpaceEnd));
      if (!(cover(covered, 0, end > kAddressSpaceEnd ? end - kAddressSpaceEnd : 0) && apart))
        report(problem, "%s: covers addresses that an earlier record covers", where);
    }
    if (overlaps_checked && covered.size() > kMaxCoveredRuns) {
      report(problem, "Records after file offset %s: too many separate runs to check for overlaps",
             offset_name(position).c_str());
      overlaps_checked = false;
    }
    position = data + record.length;
  }
}

}  // namespace xipsaw
