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


// ---- BIN containers -----------------------------------------------------

// Whether the record chain of a container whose first record header lies at
// position is whole: at least one record, every record's data inside the
// file, up to an end record. On success, end is just past the end record.
// Chains that meet go on alike, so where a walk reaches a header that an
// earlier walk passed, that walk's answer is taken (from a small cache that
// keeps the most recent answer for each of its slots; a walk teaches it the
// first kSlots headers it passed).
class ChainWalk {
 public:
  ChainWalk(BinStream& stream, int64_t file_size) : stream_(stream), file_size_(file_size), cache_(kSlots) {}

  bool whole(int64_t position, int64_t& end) {
    passed_.clear();
    int64_t answer = -1;  // the end record's end, or -1 for a chain that breaks
    uint64_t records = 0;
    for (;; ++records) {
      const Entry& cached = cache_[slot(position)];
      if (cached.position == position) {
        answer = records + cached.records > 0 ? cached.end : -1;
        records += cached.records;
        break;
      }
      BinRecord header;
      if (!BinRecord::read(stream_, position, header)) break;
      if (header.is_end()) {
        answer = records > 0 ? position + static_cast<int64_t>(kRecordHeaderSize) : -1;
        break;
      }
      if (passed_.size() < kSlots) passed_.push_back(position);
      position += kRecordHeaderSize + static_cast<int64_t>(header.length);
      if (position > file_size_) break;
    }
    // Each header passed learns the answer, with the records from it on.
    for (size_t i = 0; i < passed_.size(); ++i) cache_[slot(passed_[i])] = {passed_[i], answer, records - i};
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
  std::vector<int64_t> passed_;
};

struct Container {
  int64_t offset;
  int64_t end;
};

// ---- The passes ---------------------------------------------------------

class Search {
 public:
  Search(BinStream& stream, const SearchLimits& limits)
      : stream_(stream), size_(stream.size()), limits_(limits), scan_(stream, size_), chains_(stream, size_) {
    limits_.candidates = std::max<size_t>(limits_.candidates, 1);  // each pass holds one at least
  }

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
      PendingCandidates pending(limits_.candidates);
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
  // the second pass. Headers are only looked for while they can serve:
  // while candidates are held, or to be kept.
  void block(int64_t start, const uint8_t* bytes, size_t count, bool containers, int64_t hold_from,
             PendingCandidates& pending, int64_t& overflow, std::vector<HeaderKey>& headers, bool& headers_full) {
    candidates_.clear();
    texts_.find(bytes, count, containers, overflow < 0, [&](size_t at, int which) {
      const int64_t offset = start + static_cast<int64_t>(at);
      if (which == 0) {
        container(offset);
        return true;
      }
      if (offset < hold_from || offset + kEcecOffset + 8 > size_) return true;
      if (pending.held() + candidates_.size() == limits_.candidates) {
        overflow = offset;
        return false;
      }
      candidates_.push_back({offset, static_cast<uint64_t>(offset) + load_u32(bytes + at + kEcecOffset + 4)});
      return true;
    });
    size_t next = 0;  // the first candidate not yet held
    if (!pending.empty() || !candidates_.empty() || overflow >= 0) {
      for_each_possible_header(bytes, count, [&](size_t at) {
        const int64_t position = start + static_cast<int64_t>(at);
        for (; next < candidates_.size() && candidates_[next].offset <= position; ++next)
          pending.add(candidates_[next].offset, candidates_[next].key);
        HeaderKey key;
        if (!header_key(bytes + at, position, size_, key)) return;
        pending.resolve(key, [&](int64_t offset) { add_raw(offset, static_cast<uint32_t>(key.key - position)); });
        if (overflow >= 0 && position >= overflow && !headers_full) {
          headers_full = headers.size() == limits_.headers;
          if (!headers_full) headers.push_back(key);
        }
      });
    }
    for (; next < candidates_.size(); ++next) pending.add(candidates_[next].offset, candidates_[next].key);
  }

  // Visits, in order, the offsets of the block where a ROM header may lie:
  // its module and file counts are below 2^27 and 2^28, so their most
  // significant bytes are small, and its physlast is not 0. Written so that
  // the compiler takes many offsets at a time, 64 to a round, with the test
  // that most bytes fail first, and passes over rounds where none is left.
  static constexpr uint32_t kModuleCountTop = kRomModuleCount + 3;  // the counts' most significant bytes
  static constexpr uint32_t kFileCountTop = kRomFileCount + 3;
  template <typename Visit>
  static void for_each_possible_header(const uint8_t* bytes, size_t count, Visit&& visit) {
    constexpr size_t kRound = 64;
    for (size_t base = 0; base < count; base += kRound) {
      const uint8_t* p = bytes + base;
      uint8_t flags[kRound];
      uint8_t any = 0;
      for (size_t i = 0; i < kRound; ++i) {
        flags[i] = static_cast<uint8_t>(((p[i + kModuleCountTop] & 0xF8) | (p[i + kFileCountTop] & 0xF0)) == 0);
        any |= flags[i];
      }
      if (any == 0) continue;
      any = 0;
      for (size_t i = 0; i < kRound; ++i) {
        flags[i] &= static_cast<uint8_t>(
            (p[i + kRomPhyslast] | p[i + kRomPhyslast + 1] | p[i + kRomPhyslast + 2] | p[i + kRomPhyslast + 3]) != 0);
        any |= flags[i];
      }
      if (any == 0) continue;
      const size_t n = std::min(kRound, count - base);
      for (size_t i = 0; i < n; ++i)
        if (flags[i]) visit(base + i);
    }
  }

  // The candidates from `from` on against the held headers.
  void second_pass(int64_t from, const HeldHeaders& held) {
    scan_.run(from, size_, [&](int64_t start, const uint8_t* bytes, size_t count) {
      texts_.find(bytes, count, false, true, [&](size_t at, int) {
        const int64_t offset = start + static_cast<int64_t>(at);
        if (offset + kEcecOffset + 8 > size_) return true;
        const uint64_t key = static_cast<uint64_t>(offset) + load_u32(bytes + at + kEcecOffset + 4);
        if (const HeaderKey* h = held.serving(offset, key)) add_raw(offset, static_cast<uint32_t>(h->key - h->position));
        return true;
      });
    });
  }

  // A container counts once its chain is whole and its image opens. Past
  // the limit of images kept, the containers found (in file order) and the
  // raw images inside them can only come after every image kept.
  void container(int64_t at) {
    if (!containers_.empty() && at < containers_.back().end) return;
    if (containers_.size() == limits_.images) {
      more_ = true;
      return;
    }
    int64_t end = 0;
    if (!chains_.whole(at + kBinHeaderSize, end)) return;
    Image image(stream_);
    if (open_found_image(image, {ImageKind::bin, at, 0})) containers_.push_back({at, end});
  }

  // Keeps the raw images of least offset, as many as the limit allows.
  void add_raw(int64_t offset, uint32_t physfirst) {
    if (raw_.size() == limits_.images) {
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
    if (images.size() > limits_.images) {
      images.resize(limits_.images);
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
  SearchLimits limits_;
  BlockScan scan_;
  ChainWalk chains_;
  struct Candidate {
    int64_t offset;
    uint64_t key;
  };
  std::vector<Candidate> candidates_;  // of the block, in file order
  // A container's start, and an image's ECEC word.
  TextSearch texts_{kBinSignature, kBinSignatureSize, "ECEC", 4, kEcecOffset};
  std::vector<Container> containers_;
  std::priority_queue<FoundImage, std::vector<FoundImage>, LaterOffset> raw_;  // the greatest offset on top
  bool more_ = false;
};

}  // namespace

ImageSearch find_images(BinStream& stream, const SearchLimits& limits) { return Search(stream, limits).run(); }

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
