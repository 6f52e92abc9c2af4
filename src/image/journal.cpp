#include "image/journal.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

#include "common/file_status.h"
#include "common/native_path.h"
#include "common/le.h"

namespace xipsaw {

namespace {

constexpr char kMagic[8] = {'X', 'I', 'P', 'S', 'A', 'W', 'J', '1'};
constexpr size_t kHeaderSize = 20;      // magic, BIN size, range count
constexpr size_t kRangeHeaderSize = 12;  // position, length
constexpr size_t kSlice = size_t{1} << 16;
// Differing runs of bytes closer than this are written as one; a hole of a
// sparse file (whole blocks equal to the journal's zeros) is never bridged.
constexpr size_t kJoinGap = 512;

constexpr uint64_t kFnvBasis = 0xcbf29ce484222325ull;
uint64_t fnv1a(uint64_t hash, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ull;
  return hash;
}

void store_u64(uint8_t* p, uint64_t v) {
  store_u32(p, static_cast<uint32_t>(v));
  store_u32(p + 4, static_cast<uint32_t>(v >> 32));
}
uint64_t load_u64(const uint8_t* p) { return load_u32(p) | (uint64_t{load_u32(p + 4)} << 32); }

// Asks the system to put the file's written data on the disk.
bool sync_file(std::FILE* file) {
#if defined(_WIN32)
  return _commit(_fileno(file)) == 0;
#else
  return fsync(fileno(file)) == 0;
#endif
}

// Makes the creation or removal of a file in the journal's directory
// durable. Windows keeps directory entries durable by itself; file systems
// that cannot sync a directory say EINVAL, which leaves nothing to do.
bool sync_directory_of(const std::string& path) {
#if defined(_WIN32)
  (void)path;
  return true;
#else
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  int fd = ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0 || errno == EINVAL;
  ::close(fd);
  return ok;
#endif
}

bool read_exactly(std::FILE* file, void* bytes, size_t count) { return std::fread(bytes, 1, count, file) == count; }

// Walks a journal's ranges. With a stream, restores them into it; without,
// only checks the layout and the hash. Returns false on any failure.
bool walk_journal(std::FILE* journal, int64_t bin_size, BinStream* stream) {
  uint8_t header[kHeaderSize];
  if (!read_exactly(journal, header, sizeof header) || std::memcmp(header, kMagic, sizeof kMagic) != 0) return false;
  uint64_t hash = fnv1a(kFnvBasis, header, sizeof header);
  if (load_u64(header + 8) != static_cast<uint64_t>(bin_size)) return false;
  const uint32_t ranges = load_u32(header + 16);
  std::vector<uint8_t> old_bytes(kSlice);
  std::vector<uint8_t> current(stream != nullptr ? kSlice : 0);
  for (uint32_t r = 0; r < ranges; ++r) {
    uint8_t range[kRangeHeaderSize];
    if (!read_exactly(journal, range, sizeof range)) return false;
    hash = fnv1a(hash, range, sizeof range);
    const uint64_t position = load_u64(range);
    const uint32_t length = load_u32(range + 8);
    if (position > static_cast<uint64_t>(bin_size) || length > static_cast<uint64_t>(bin_size) - position)
      return false;
    for (uint32_t done = 0; done < length;) {
      const size_t n = std::min<size_t>(kSlice, length - done);
      if (!read_exactly(journal, old_bytes.data(), n)) return false;
      hash = fnv1a(hash, old_bytes.data(), n);
      const int64_t at = static_cast<int64_t>(position) + done;
      done += static_cast<uint32_t>(n);
      if (stream == nullptr) continue;
      stream->seek(at);
      if (stream->read(current.data(), n) != n) return false;
      // Write back each run of differing bytes, joining runs that lie close.
      for (size_t i = 0; i < n;) {
        if (current[i] == old_bytes[i]) {
          ++i;
          continue;
        }
        size_t end = i + 1, equal = 0;
        for (size_t j = end; j < n && equal < kJoinGap; ++j) {
          if (current[j] != old_bytes[j]) {
            end = j + 1;
            equal = 0;
          } else {
            ++equal;
          }
        }
        stream->seek(at + static_cast<int64_t>(i));
        if (stream->write(old_bytes.data() + i, end - i) != end - i) return false;
        i = end;
      }
    }
  }
  uint8_t trailer[8];
  if (!read_exactly(journal, trailer, sizeof trailer) || load_u64(trailer) != hash) return false;
  return std::fgetc(journal) == EOF;
}

}  // namespace

JournalWriter::~JournalWriter() {
  if (file_ != nullptr) {
    std::fclose(file_);
    remove_file(path_);
  }
}

bool JournalWriter::begin(const std::string& path, int64_t bin_size, uint32_t range_count) {
  path_ = path;
  file_ = open_file(path, "wb");
  ok_ = file_ != nullptr;
  hash_ = kFnvBasis;
  uint8_t header[kHeaderSize];
  std::memcpy(header, kMagic, sizeof kMagic);
  store_u64(header + 8, static_cast<uint64_t>(bin_size));
  store_u32(header + 16, range_count);
  put(header, sizeof header);
  return ok_;
}

void JournalWriter::add_range(int64_t position, uint32_t length) {
  uint8_t range[kRangeHeaderSize];
  store_u64(range, static_cast<uint64_t>(position));
  store_u32(range + 8, length);
  put(range, sizeof range);
}

void JournalWriter::add_bytes(const uint8_t* bytes, size_t count) { put(bytes, count); }

void JournalWriter::put(const void* bytes, size_t count) {
  if (!ok_ || count == 0) return;
  hash_ = fnv1a(hash_, static_cast<const uint8_t*>(bytes), count);
  ok_ = std::fwrite(bytes, 1, count, file_) == count;
}

bool JournalWriter::finish() {
  uint8_t trailer[8];
  store_u64(trailer, hash_);
  put(trailer, sizeof trailer);
  if (file_ == nullptr) return false;
  ok_ = ok_ && std::fflush(file_) == 0 && sync_file(file_);
  ok_ = std::fclose(file_) == 0 && ok_;
  file_ = nullptr;
  ok_ = ok_ && sync_directory_of(path_);
  if (!ok_) remove_file(path_);
  return ok_;
}

bool remove_journal(const std::string& path) {
  if (!remove_file(path)) return false;
  // The journal is gone either way; should the removal not reach the disk,
  // the journal comes back after a power cut and undoes its unit whole.
  sync_directory_of(path);
  return true;
}

Playback play_back_journal(BinStream& stream, const std::string& path) {
  if (path_kind(path) == PathKind::missing) return Playback::none;
  std::FILE* journal = open_file(path, "rb");
  if (journal == nullptr) return Playback::failed;
  const int64_t bin_size = stream.size();
  // A journal that does not check out whole was cut short while it was
  // written, before the BIN file was touched. A whole journal of a BIN file
  // of another size belongs to no update of this one: it is left alone.
  Playback result = Playback::restored;
  if (!walk_journal(journal, bin_size, nullptr)) {
    std::rewind(journal);
    uint8_t header[kHeaderSize];
    bool other_file = bin_size >= 0 && read_exactly(journal, header, sizeof header) &&
                      std::memcmp(header, kMagic, sizeof kMagic) == 0 &&
                      load_u64(header + 8) != static_cast<uint64_t>(bin_size);
    result = other_file ? Playback::failed : Playback::discarded;
  } else {
    std::rewind(journal);
    if (!walk_journal(journal, bin_size, &stream) || !stream.flush()) result = Playback::failed;
  }
  std::fclose(journal);
  stream.seek(0);
  if (result != Playback::failed && !remove_journal(path)) result = Playback::failed;
  return result;
}

}  // namespace xipsaw
