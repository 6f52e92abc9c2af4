#include "search/image_search.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <queue>

#include "common/le.h"
#include "image/record_index.h"
#include "search/block_scan.h"
#include "search/raw_images.h"

namespace xipsaw {

namespace {

// Limits of the search's memory (about 12 MiB each at most).
constexpr size_t kMaxPending = size_t{1} << 18;
constexpr size_t kMaxHeldHeaders = size_t{1} << 19;

constexpr uint32_t kEcec = 0x40;  // the ECEC word's offset in an image
constexpr char kBinText[] = "B000FF\n";

// ---- BIN containers -----------------------------------------------------

// Whether the record chain of a container whose first record header lies at
// position is whole: at least one record, every record's data inside the
// file, up to an end record. On success, end is just past the end record.
// Chains that meet go on alike, so where a walk reaches a header that an
// earlier walk passed, that walk's answer is taken (from a small cache that
// keeps the most recent answer for each of its slots).
class ChainWalk {
 public:
  ChainWalk(BinStream& stream, int64_t file_size) : stream_(stream), file_size_(file_size), cache_(kSlots) {}

  bool whole(int64_t position, int64_t& end) {
    std::vector<int64_t> passed;
    int64_t answer = -1;  // the end record's end, or -1 for a chain that breaks
    for (uint64_t records = 0;; ++records) {
      Entry& cached = cache_[slot(position)];
      if (cached.position == position) {
        answer = records + cached.records > 0 ? cached.end : -1;
        records += cached.records;
        break;
      }
      uint8_t header[kRecordHeaderSize];
      stream_.seek(position);
      if (stream_.read(header, sizeof header) != sizeof header) break;
      if (is_end_record(load_u32(header), load_u32(header + 8))) {
        answer = records > 0 ? position + static_cast<int64_t>(kRecordHeaderSize) : -1;
        break;
      }
      passed.push_back(position);
      position += kRecordHeaderSize + static_cast<int64_t>(load_u32(header + 4));
      if (position > file_size_) break;
    }
    // Each header passed learns the answer, with the records from it on.
    for (size_t i = 0; i < passed.size(); ++i)
      cache_[slot(passed[i])] = {passed[i], answer, passed.size() - i};
    end = answer;
    return answer >= 0;
  }

 private:
  static constexpr size_t kSlots = size_t{1} << 16;
  struct Entry {
    int64_t position = -1;
    int64_t end = -1;
    uint64_t records = 0;  // records from this header to the end record
  };
  static size_t slot(int64_t position) { return static_cast<size_t>(position * 0x9E3779B97F4A7C15ull >> 48); }

  BinStream& stream_;
  int64_t file_size_;
  std::vector<Entry> cache_;
};

struct Container {
  int64_t offset;
  int64_t end;
};

// ---- The passes ---------------------------------------------------------

class Search {
 public:
  Search(BinStream& stream) : stream_(stream), size_(stream.size()), scan_(stream, size_), chains_(stream, size_) {}

  ImageSearch run() {
    ImageSearch result;
    if (size_ < 0) {
      result.unreadable = true;
      return result;
    }
    // The first pass holds the candidates, each resolved by the first
    // header that serves it; it also finds the containers. Where the
    // candidates become too many to hold, the headers after that point are
    // held instead, for a second pass over the candidates there; where both
    // are too many, further passes each hold the next share of candidates.
    int64_t from = 0;
    bool first = true;
    for (;;) {
      PendingCandidates pending(kMaxPending);
      std::vector<HeaderKey> headers;
      bool headers_full = false;
      int64_t overflow = -1;
      const bool read = scan_.run(first ? 0 : from, size_, [&](int64_t start, const uint8_t* bytes, size_t count) {
        block(start, bytes, count, first, from, pending, overflow, headers, headers_full);
      });
      if (!read) {
        result.unreadable = true;
        break;
      }
      first = false;
      if (overflow < 0) break;
      pending.clear();
      if (!headers_full) {
        if (!headers.empty()) second_pass(overflow, HeldHeaders(std::move(headers)));
        break;
      }
      from = overflow;
    }
    return finish(result);
  }

 private:
  // Offsets [start, start + count) of one block, in file order: at each
  // offset the candidate that begins there, then the header there, so that
  // a header only resolves candidates at or before it. Candidates are held
  // from hold_from on until the limit; past the limit, headers are kept for
  // the second pass.
  void block(int64_t start, const uint8_t* bytes, size_t count, bool containers, int64_t hold_from,
             PendingCandidates& pending, int64_t& overflow, std::vector<HeaderKey>& headers, bool& headers_full) {
    for (size_t i = 0; i < count; i += 8) {
      const uint8_t* p = bytes + i;
      const uint64_t ecec = overflow < 0 ? text_lanes(p + kEcec, "ECEC", 4) : 0;
      const uint64_t bin = containers ? text_lanes(p, "B000", 4) : 0;
      // A ROM header's module and file counts are below 2^27 and 2^28, and
      // its physlast is not 0: bytes 19 and 51 are small, 12 to 15 not all
      // zero.
      const uint64_t small = (load_word(p + 19) & (kLanes * 0xF8)) | (load_word(p + 51) & (kLanes * 0xF0));
      const uint64_t physlast = load_word(p + 12) | load_word(p + 13) | load_word(p + 14) | load_word(p + 15);
      const uint64_t header = zero_bytes(small) & ~zero_bytes(physlast) & kHighBits;
      if ((ecec | bin | header) == 0) continue;
      for_each_lane(ecec | bin | header, [&](size_t lane) {
        if (i + lane >= count) return;
        const int64_t at = start + static_cast<int64_t>(i + lane);
        const uint64_t bit = uint64_t{0x80} << (8 * lane);
        if (bin & bit) container(at, p + lane);
        if ((ecec & bit) && at >= hold_from && at + kEcec + 8 <= size_) {
          if (overflow < 0 && pending.full()) overflow = at;
          if (overflow < 0) pending.add(at, static_cast<uint64_t>(at) + load_u32(p + lane + kEcec + 4));
        }
        HeaderKey key;
        if ((header & bit) && header_key(p + lane, at, size_, key)) {
          pending.resolve(key, [&](int64_t offset) { add_raw(offset, static_cast<uint32_t>(key.key - at)); });
          if (overflow >= 0 && !headers_full) {
            headers_full = headers.size() == kMaxHeldHeaders;
            if (!headers_full) headers.push_back(key);
          }
        }
      });
    }
  }

  // The candidates from `from` on against the held headers.
  void second_pass(int64_t from, const HeldHeaders& held) {
    scan_.run(from, size_, [&](int64_t start, const uint8_t* bytes, size_t count) {
      for (size_t i = 0; i < count; i += 8) {
        const uint64_t ecec = text_lanes(bytes + i + kEcec, "ECEC", 4);
        for_each_lane(ecec, [&](size_t lane) {
          const int64_t at = start + static_cast<int64_t>(i + lane);
          if (i + lane >= count || at + kEcec + 8 > size_) return;
          const uint64_t key = static_cast<uint64_t>(at) + load_u32(bytes + i + lane + kEcec + 4);
          if (const HeaderKey* h = held.serving(at, key)) add_raw(at, static_cast<uint32_t>(h->key - h->position));
        });
      }
    });
  }

  void container(int64_t at, const uint8_t* p) {
    if (std::memcmp(p, kBinText, 7) != 0 || (!containers_.empty() && at < containers_.back().end)) return;
    int64_t end = 0;
    if (!chains_.whole(at + kBinHeaderSize, end)) return;
    Image image(stream_);
    if (open_found_image(image, {ImageKind::bin, at, 0})) containers_.push_back({at, end});
  }

  // Keeps the kMaxImages raw images of least offset.
  void add_raw(int64_t offset, uint32_t physfirst) {
    if (raw_.size() == kMaxImages) {
      more_ = true;
      if (raw_.top().offset < offset) return;
      raw_.pop();
    }
    raw_.push({ImageKind::raw, offset, physfirst});
  }

  ImageSearch& finish(ImageSearch& result) {
    std::vector<FoundImage>& images = result.images;
    for (; !raw_.empty(); raw_.pop()) {
      const FoundImage& raw = raw_.top();
      auto after = std::upper_bound(containers_.begin(), containers_.end(), raw.offset,
                                    [](int64_t o, const Container& c) { return o < c.offset; });
      if (after == containers_.begin() || raw.offset >= std::prev(after)->end) images.push_back(raw);
    }
    for (const Container& c : containers_) images.push_back({ImageKind::bin, c.offset, 0});
    std::sort(images.begin(), images.end(), [](const FoundImage& a, const FoundImage& b) { return a.offset < b.offset; });
    if (images.size() > kMaxImages) {
      images.resize(kMaxImages);
      more_ = true;
    }
    result.more = more_;
    return result;
  }

  struct LaterOffset {
    bool operator()(const FoundImage& a, const FoundImage& b) const { return a.offset < b.offset; }
  };

  BinStream& stream_;
  int64_t size_;
  BlockScan scan_;
  ChainWalk chains_;
  std::vector<Container> containers_;
  std::priority_queue<FoundImage, std::vector<FoundImage>, LaterOffset> raw_;  // the greatest offset on top
  bool more_ = false;
};

}  // namespace

ImageSearch find_images(BinStream& stream) { return Search(stream).run(); }

bool open_found_image(Image& image, const FoundImage& found) {
  if (found.kind == ImageKind::bin) {
    image.stream->seek(found.offset);
    if (!read_bin_header(image)) return false;
  } else {
    open_raw_image(image, found.offset, found.physfirst);
  }
  return read_ecec_header(image) && read_rom_header(image);
}

}  // namespace xipsaw
