// Expansion speed of our LZX decoder side by side with libmspack's, on the
// same streams: the real compressed buffers of the given directories (*.lzx;
// by default the corpus and the samples of the tests), and streams of our
// encoder: the expansions of those buffers compressed again, and a few MiB
// of synthetic data, with a line per kind of data (the real buffers' kind
// told by their names). libmspack sees every buffer as an in-memory
// cabinet with one folder per 4 KiB stream; its cabinets are opened before
// the clock starts, so only its extraction is timed. Both outputs are
// compared byte for byte first. Prints the figures (medians of several
// rounds of processor time, which other processes on a busy machine disturb
// less than wall time); asserts nothing beyond the agreement of the outputs.
//   bench_decode [DIR...]
#include <mspack.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "cab_wrap.h"
#include "lzx_decoder.h"
#include "lzx_encoder.h"
#include "lzx_format.h"
#include "samples.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- libmspack I/O on memory: the "file name" handed to it is a MemFile's address.

struct MemFile {
  uint8_t* data;
  size_t size;
};

struct MemHandle {
  MemFile* file;
  size_t pos;
};

MemHandle* handle(mspack_file* f) { return reinterpret_cast<MemHandle*>(f); }

mspack_file* mem_open(mspack_system*, const char* name, int) {
  auto* h = new MemHandle{reinterpret_cast<MemFile*>(const_cast<char*>(name)), 0};
  return reinterpret_cast<mspack_file*>(h);
}
void mem_close(mspack_file* f) { delete handle(f); }
int mem_read(mspack_file* f, void* buffer, int bytes) {
  MemHandle* h = handle(f);
  const size_t n = std::min(size_t(bytes), h->file->size - std::min(h->pos, h->file->size));
  std::memcpy(buffer, h->file->data + h->pos, n);
  h->pos += n;
  return int(n);
}
int mem_write(mspack_file* f, void* buffer, int bytes) {
  MemHandle* h = handle(f);
  if (h->pos + size_t(bytes) > h->file->size) return -1;
  std::memcpy(h->file->data + h->pos, buffer, size_t(bytes));
  h->pos += size_t(bytes);
  return bytes;
}
int mem_seek(mspack_file* f, off_t offset, int mode) {
  MemHandle* h = handle(f);
  const off_t base = mode == MSPACK_SYS_SEEK_START ? 0
                     : mode == MSPACK_SYS_SEEK_CUR ? off_t(h->pos)
                                                   : off_t(h->file->size);
  if (base + offset < 0 || size_t(base + offset) > h->file->size) return -1;
  h->pos = size_t(base + offset);
  return 0;
}
off_t mem_tell(mspack_file* f) { return off_t(handle(f)->pos); }
void mem_message(mspack_file*, const char*, ...) {}
void* mem_alloc(mspack_system*, size_t bytes) { return std::malloc(bytes); }
void mem_free(void* p) { std::free(p); }
void mem_copy(void* src, void* dst, size_t bytes) { std::memcpy(dst, src, bytes); }

mspack_system memory_system = {mem_open, mem_close,   mem_read,  mem_write, mem_seek, mem_tell,
                               mem_message, mem_alloc, mem_free, mem_copy, nullptr};

// ---- The buffers.

struct Buffer {
  std::string name;
  Bytes framed;    // as the tool stores it
  uint32_t size;   // expanded size
  Bytes cab;       // its streams, one folder each
  MemFile cab_file{};
  mscabd_cabinet* opened = nullptr;
};

uint32_t get_le(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes; i-- > 0;) v = v << 8 | p[i];
  return v;
}

// Wraps the streams of a well-formed framed buffer into a cabinet.
Bytes cabinet_of(const Bytes& framed) {
  const uint32_t total = get_le(framed.data(), 3);
  const uint32_t blocks = (total + lzx::kBlockSize - 1) / lzx::kBlockSize;
  std::vector<CabStream> streams;
  size_t start = 3 * (size_t(blocks) + 1);
  for (uint32_t k = 0; k < blocks; ++k) {
    const size_t end = get_le(&framed[3 * (k + 1)], 3);
    const uint8_t* block = &framed[start];
    streams.push_back({block + lzx::kBlockHeaderBytes, get_le(block + 8, 4), get_le(block + 4, 4)});
    start = end;
  }
  return wrap_lzx_streams_in_cab(streams);
}

// Synthetic data of one kind, in the spirit of a ROM's contents.
enum class Synthetic { kText, kCode, kRecords, kSparse, kRandom };

Bytes synthetic_data(Synthetic kind, size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  static const char* words[] = {"[HKEY_LOCAL_MACHINE\\Drivers\\", "BuiltIn\\", "\"Dll\"=\"", ".dll\"\r\n",
                                "\"Index\"=dword:", "\"Prefix\"=\"", "Order", "Ioctl", "\"\r\n", "; ", "Flags"};
  Bytes out;
  switch (kind) {
    case Synthetic::kText:  // registry-like text
      while (out.size() < n) {
        const char* w = words[rng() % std::size(words)];
        out.insert(out.end(), w, w + std::strlen(w));
        if (rng() % 2) out.push_back(uint8_t('0' + rng() % 10));
      }
      break;
    case Synthetic::kCode:  // x86-like code with E8 calls
      while (out.size() < n) {
        const uint32_t r = rng();
        if (r % 5 == 0) {
          const uint32_t target = uint32_t(int32_t(rng() % 8192) - 4096);
          out.push_back(0xE8);
          for (int i = 0; i < 4; ++i) out.push_back(uint8_t(target >> (8 * i)));
        } else if (r % 5 == 1) {
          out.insert(out.end(), {0x8B, 0x44, 0x24, uint8_t(r >> 8 & 0x3C)});
        } else if (r % 5 == 2) {
          out.insert(out.end(), {0x89, 0x46, uint8_t(r >> 8 & 0x7C), 0x5E, 0xC3});
        } else {
          out.push_back(uint8_t(r >> 16));
        }
      }
      break;
    case Synthetic::kRecords:  // a table of 4-byte records
      for (uint32_t v = rng() % 0x10000; out.size() < n; v += 1 + rng() % 3)
        out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(rng() % 4), 0});
      break;
    case Synthetic::kSparse:
      while (out.size() < n) out.push_back(rng() % 16 == 0 ? uint8_t(rng()) : 0);
      break;
    case Synthetic::kRandom:
      while (out.size() < n) out.push_back(uint8_t(rng()));
      break;
  }
  out.resize(n);
  return out;
}

// ---- Timing.

// Processor seconds per call of f, over at least min_seconds.
template <typename F>
double time_it(F&& f, double min_seconds = 0.2) {
  unsigned runs = 0;
  const std::clock_t start = std::clock();
  double elapsed = 0;
  do {
    f();
    ++runs;
    elapsed = double(std::clock() - start) / CLOCKS_PER_SEC;
  } while (elapsed < min_seconds);
  return elapsed / runs;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Bench {
  mscab_decompressor* cabd;
  Bytes out;  // large enough for any buffer

  bool ours(const Buffer& b) {
    return lzx::decompress_buffer(b.framed.data(), uint32_t(b.framed.size()), out.data(), b.size) == int32_t(b.size);
  }
  bool theirs(const Buffer& b) {
    size_t at = 0;
    for (mscabd_file* f = b.opened->files; f; f = f->next) {
      MemFile dst{out.data() + at, f->length};
      if (cabd->extract(cabd, f, reinterpret_cast<char*>(&dst)) != MSPACK_ERR_OK) return false;
      at += f->length;
    }
    return at == b.size;
  }
};

struct Figures {
  size_t bytes = 0, streams = 0;
  double ours = 0, theirs = 0;  // seconds per pass
};

void print(const char* what, const Figures& f) {
  const double mb = double(f.bytes) / 1e6;
  std::printf("%-32s %9zu %7zu %10.1f %10.1f %7.2fx\n", what, f.bytes, f.streams, mb / f.ours, mb / f.theirs,
              f.theirs / f.ours);
}

// Checks that both decoders agree on every buffer of the group, then times
// a pass over the group with each, in alternating rounds, into result.
bool measure(Bench& bench, std::vector<Buffer>& group, const char* what, Figures& result) {
  if (group.empty()) return true;
  Figures f;
  for (Buffer& b : group) {
    b.cab_file = {b.cab.data(), b.cab.size()};
    b.opened = bench.cabd->open(bench.cabd, reinterpret_cast<char*>(&b.cab_file));
    if (!b.opened) {
      std::printf("%s: libmspack cannot open the cabinet\n", b.name.c_str());
      return false;
    }
    if (!bench.ours(b)) {
      std::printf("%s: our decoder fails\n", b.name.c_str());
      return false;
    }
    const Bytes mine(bench.out.begin(), bench.out.begin() + b.size);
    if (!bench.theirs(b) || !std::equal(mine.begin(), mine.end(), bench.out.begin())) {
      std::printf("%s: the outputs differ\n", b.name.c_str());
      return false;
    }
    f.bytes += b.size;
    f.streams += (b.size + lzx::kBlockSize - 1) / lzx::kBlockSize;
  }
  std::vector<double> ours, theirs;
  for (int round = 0; round < 7; ++round) {
    ours.push_back(time_it([&] {
      for (const Buffer& b : group) bench.ours(b);
    }));
    theirs.push_back(time_it([&] {
      for (const Buffer& b : group) bench.theirs(b);
    }));
  }
  f.ours = median(ours);
  f.theirs = median(theirs);
  print(what, f);
  for (Buffer& b : group) bench.cabd->close(bench.cabd, b.opened);
  result = f;
  return true;
}

// Compresses data with our encoder.
Buffer encoded(const std::string& name, const Bytes& data) {
  Buffer b{name, Bytes(data.size() + data.size() / 8 + 64), uint32_t(data.size()), {}};
  const int32_t c = lzx::compress_buffer(data.data(), uint32_t(data.size()), b.framed.data(), uint32_t(b.framed.size()));
  if (c < 0) {
    std::printf("%s: the encoder fails\n", name.c_str());
    std::exit(1);
  }
  b.framed.resize(size_t(c));
  b.cab = cabinet_of(b.framed);
  return b;
}

// The kind of a real buffer, from its name: registry hives (*.hv), code
// sections (a module's section 0), the other module sections, and files.
std::string kind_of(const std::string& name) {
  if (name.ends_with(".hv.lzx")) return "registry hives";
  if (name.ends_with(".section0.lzx")) return "code sections";
  if (name.find(".section") != std::string::npos) return "data sections";
  return "files";
}

// A group of buffers of one kind, measured together.
struct Group {
  std::string kind;
  std::vector<Buffer> real, again;  // the buffers, and their expansions compressed again
};

// Adds the well-formed buffers of dir, and their expansions compressed
// again, to the groups of their kinds.
void add_real_buffers(const std::string& dir, std::vector<Group>& groups) {
  std::vector<std::filesystem::path> paths;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().extension() == ".lzx") paths.push_back(e.path());
  std::sort(paths.begin(), paths.end());
  for (const auto& p : paths) {
    Buffer b{p.filename().string(), read_file(p.string()), 0, {}};
    if (b.framed.size() < 3) continue;
    b.size = get_le(b.framed.data(), 3);
    Bytes check(b.size);
    if (lzx::decompress_buffer(b.framed.data(), uint32_t(b.framed.size()), check.data(), b.size) != int32_t(b.size)) {
      std::printf("%s: not a well-formed buffer, skipped\n", b.name.c_str());
      continue;
    }
    b.cab = cabinet_of(b.framed);
    const std::string kind = kind_of(b.name);
    auto g = std::find_if(groups.begin(), groups.end(), [&](const Group& x) { return x.kind == kind; });
    if (g == groups.end()) g = groups.insert(groups.end(), Group{kind, {}, {}});
    g->again.push_back(encoded(b.name, check));
    g->real.push_back(std::move(b));
  }
}

void add(Figures& total, const Figures& f) {
  total.bytes += f.bytes, total.streams += f.streams, total.ours += f.ours, total.theirs += f.theirs;
}

}  // namespace

int main(int argc, char** argv) {
  int selftest = 0;
  MSPACK_SYS_SELFTEST(selftest);
  if (selftest != MSPACK_ERR_OK) {
    std::printf("libmspack is incompatible with this build\n");
    return 1;
  }
  Bench bench{mspack_create_cab_decompressor(&memory_system), Bytes(lzx::kMaxBufferSize)};
  if (!bench.cabd) return 1;

  std::vector<std::string> dirs(argv + 1, argv + argc);
  if (dirs.empty()) dirs = {XIPSAW_CORPUS_DIR, XIPSAW_SAMPLES_DIR};
  std::vector<Group> groups;
  for (const std::string& dir : dirs) add_real_buffers(dir, groups);

  std::printf("%-32s %9s %7s %10s %10s %8s\n", "buffers", "bytes", "streams", "ours MB/s", "mspack", "ratio");
  bool ok = true;
  Figures real, made;
  for (Group& g : groups) {
    Figures f;
    ok = measure(bench, g.real, (g.kind + ", real").c_str(), f) && ok;
    add(real, f);
    f = {};
    ok = measure(bench, g.again, (g.kind + ", re-encoded").c_str(), f) && ok;
    add(made, f);
  }

  // 4 MiB of synthetic data in buffers of 256 KiB, in the shares the mixed
  // data of earlier versions had.
  static const struct {
    Synthetic kind;
    const char* what;
    unsigned buffers;
  } kSynthetic[] = {{Synthetic::kCode, "synthetic x86-like code", 6},
                    {Synthetic::kText, "synthetic registry text", 4},
                    {Synthetic::kRecords, "synthetic 4-byte records", 2},
                    {Synthetic::kSparse, "synthetic sparse data", 2},
                    {Synthetic::kRandom, "synthetic random bytes", 2}};
  Figures synthetic;
  for (const auto& s : kSynthetic) {
    std::vector<Buffer> group;
    for (unsigned k = 0; k < s.buffers; ++k)
      group.push_back(encoded(s.what, synthetic_data(s.kind, 1u << 18, 2024 + k)));
    Figures f;
    ok = measure(bench, group, s.what, f) && ok;
    add(synthetic, f);
  }
  if (real.bytes) print("real, all", real);
  print("real, re-encoded, all", made);
  print("synthetic, all", synthetic);
  add(made, synthetic);
  print("encoder-made, all", made);
  Figures all = real;
  add(all, made);
  print("all", all);

  mspack_destroy_cab_decompressor(bench.cabd);
  return ok ? 0 : 1;
}
