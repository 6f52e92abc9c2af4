#include "image_builder.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "common/native_path.h"

namespace testkit {

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

void put_u16(Bytes& b, size_t offset, uint32_t v) {
  if (b.size() < offset + 2) b.resize(offset + 2);
  b[offset] = static_cast<uint8_t>(v);
  b[offset + 1] = static_cast<uint8_t>(v >> 8);
}

void put_u32(Bytes& b, size_t offset, uint32_t v) {
  if (b.size() < offset + 4) b.resize(offset + 4);
  for (int i = 0; i < 4; ++i) b[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get_u32(const Bytes& b, size_t offset) {
  return static_cast<uint32_t>(b.at(offset)) | (static_cast<uint32_t>(b.at(offset + 1)) << 8) |
         (static_cast<uint32_t>(b.at(offset + 2)) << 16) | (static_cast<uint32_t>(b.at(offset + 3)) << 24);
}

uint16_t get_u16(const Bytes& b, size_t offset) {
  return static_cast<uint16_t>(b.at(offset) | (b.at(offset + 1) << 8));
}

uint32_t byte_sum(const Bytes& data) {
  uint32_t sum = 0;
  for (uint8_t c : data) sum += c;
  return sum;
}

// ---- BinBuilder ----------------------------------------------------------

void BinBuilder::put(uint32_t address, const Bytes& data) {
  if (data.empty()) return;
  uint64_t start = address;
  uint64_t end = start + data.size();
  if (end > (1ull << 32)) throw std::invalid_argument("content beyond the 32-bit address space");
  // The common case, data that overlaps or extends only the segment before
  // it, is handled in place, so that laying out a large image stays linear.
  {
    auto next = segments_.upper_bound(address);
    if (next != segments_.begin()) {
      auto prev = std::prev(next);
      uint64_t prev_end = prev->first + static_cast<uint64_t>(prev->second.size());
      if (prev_end >= start && (next == segments_.end() || next->first > end)) {
        if (end > prev_end) prev->second.resize(end - prev->first);
        std::copy(data.begin(), data.end(), prev->second.begin() + (start - prev->first));
        return;
      }
    }
  }
  // Merge with every segment that overlaps or touches [start, end).
  Bytes merged;
  uint64_t merged_start = start;
  auto it = segments_.upper_bound(address);
  if (it != segments_.begin()) {
    auto prev = std::prev(it);
    if (prev->first + prev->second.size() >= start) it = prev;
  }
  std::vector<std::pair<uint32_t, Bytes>> absorbed;
  while (it != segments_.end() && it->first <= end) {
    absorbed.emplace_back(it->first, std::move(it->second));
    it = segments_.erase(it);
  }
  uint64_t merged_end = end;
  for (auto& [s, b] : absorbed) {
    merged_start = std::min<uint64_t>(merged_start, s);
    merged_end = std::max<uint64_t>(merged_end, s + b.size());
  }
  merged.assign(merged_end - merged_start, 0);
  for (auto& [s, b] : absorbed) std::copy(b.begin(), b.end(), merged.begin() + (s - merged_start));
  std::copy(data.begin(), data.end(), merged.begin() + (start - merged_start));
  segments_.emplace(static_cast<uint32_t>(merged_start), std::move(merged));
}

void BinBuilder::put_u32(uint32_t address, uint32_t v) {
  Bytes b;
  testkit::put_u32(b, 0, v);
  put(address, b);
}

void BinBuilder::put_u16(uint32_t address, uint32_t v) {
  Bytes b;
  testkit::put_u16(b, 0, v);
  put(address, b);
}

void BinBuilder::put_string(uint32_t address, const std::string& s) {
  Bytes b = bytes_of(s);
  b.push_back(0);
  put(address, b);
}

Bytes BinBuilder::content(uint32_t address, uint32_t n) const {
  Bytes out(n, 0);
  uint64_t start = address;
  uint64_t end = start + n;
  for (const auto& [s, b] : segments_) {
    uint64_t lo = std::max<uint64_t>(s, start);
    uint64_t hi = std::min<uint64_t>(s + b.size(), end);
    for (uint64_t a = lo; a < hi; ++a) out[a - start] = b[a - s];
  }
  return out;
}

void BinBuilder::add_record(uint32_t address, uint32_t length) {
  explicit_ = true;
  explicit_records_.push_back(Record{address, content(address, length), std::nullopt, std::nullopt, 0});
}

void BinBuilder::add_raw_record(Record record) {
  explicit_ = true;
  explicit_records_.push_back(std::move(record));
}

std::vector<Record> BinBuilder::records() const {
  if (explicit_) return explicit_records_;
  std::vector<uint32_t> cuts = splits_;
  std::sort(cuts.begin(), cuts.end());
  std::vector<Record> out;
  for (const auto& [s, b] : segments_) {
    uint64_t end = s + static_cast<uint64_t>(b.size());
    uint64_t a = s;
    while (a < end) {
      uint64_t stop = end;
      auto cut = std::upper_bound(cuts.begin(), cuts.end(), static_cast<uint32_t>(a));
      if (cut != cuts.end() && *cut < stop) stop = *cut;
      if (max_record_length != 0) stop = std::min<uint64_t>(stop, a + max_record_length);
      Record r;
      r.address = static_cast<uint32_t>(a);
      r.data.assign(b.begin() + (a - s), b.begin() + (stop - s));
      out.push_back(std::move(r));
      a = stop;
    }
  }
  return out;
}

namespace {

void append_u32(Bytes& out, uint32_t v) { put_u32(out, out.size(), v); }

Bytes file_header(const BinBuilder& b, uint32_t length) {
  Bytes out = bytes_of(b.signature);
  append_u32(out, b.image_start);
  append_u32(out, b.image_length.value_or(length));
  return out;
}

Bytes record_header(const Record& r) {
  Bytes out;
  append_u32(out, r.address);
  append_u32(out, r.length.value_or(static_cast<uint32_t>(r.data.size() + r.hole)));
  append_u32(out, r.checksum.value_or(byte_sum(r.data)));
  return out;
}

uint32_t extent(const std::vector<Record>& records) {
  if (records.empty()) return 0;
  uint64_t lo = UINT64_MAX, hi = 0;
  for (const Record& r : records) {
    lo = std::min<uint64_t>(lo, r.address);
    hi = std::max<uint64_t>(hi, r.address + r.data.size() + r.hole);
  }
  return static_cast<uint32_t>(hi - lo);
}

}  // namespace

BinBuilder BinBuilder::moved_down(uint32_t offset) const {
  BinBuilder moved = *this;
  moved.image_start -= offset;
  moved.segments_.clear();
  for (const auto& [address, bytes] : segments_) moved.put(address - offset, bytes);
  for (uint32_t& split : moved.splits_) split -= offset;
  for (Record& r : moved.explicit_records_) r.address -= offset;
  return moved;
}

Bytes BinBuilder::raw_image() const {
  uint64_t end = image_start;
  for (const auto& [address, bytes] : segments_) end = std::max<uint64_t>(end, address + uint64_t{bytes.size()});
  return content(image_start, static_cast<uint32_t>(end - image_start));
}

Bytes BinBuilder::build() const {
  std::vector<Record> recs = records();
  Bytes out = file_header(*this, extent(recs));
  for (const Record& r : recs) {
    Bytes h = record_header(r);
    out.insert(out.end(), h.begin(), h.end());
    out.insert(out.end(), r.data.begin(), r.data.end());
    out.insert(out.end(), r.hole, 0);
  }
  if (end_record) {
    Bytes end(12, 0);
    testkit::put_u32(end, 4, launch_address);
    out.insert(out.end(), end.begin(), end.end());
  }
  if (truncate_to && *truncate_to < out.size()) out.resize(*truncate_to);
  return out;
}

void BinBuilder::write(const std::string& path) const {
  std::vector<Record> recs = records();
  bool holes = std::any_of(recs.begin(), recs.end(), [](const Record& r) { return r.hole != 0; });
  std::FILE* f = xipsaw::open_file(path, "wb");
  if (f == nullptr) throw std::runtime_error("cannot write " + path);
  if (!holes) {
    Bytes all = build();
    std::fwrite(all.data(), 1, all.size(), f);
    std::fclose(f);
    return;
  }
  // Large sparse files: holes are skipped with seeks, so a file of several
  // GiB costs no disk space.
  auto put = [&](const Bytes& b) {
    if (!b.empty()) std::fwrite(b.data(), 1, b.size(), f);  // an empty vector may have no storage
  };
  put(file_header(*this, extent(recs)));
  int64_t position = 15;
  for (const Record& r : recs) {
    put(record_header(r));
    put(r.data);
    position += 12 + static_cast<int64_t>(r.data.size());
    if (r.hole) {
      position += static_cast<int64_t>(r.hole);
      fseeko(f, position, SEEK_SET);
    }
  }
  if (end_record) {
    Bytes end(12, 0);
    testkit::put_u32(end, 4, launch_address);
    put(end);
  } else if (!recs.empty() && recs.back().hole) {
    // Make the file reach the end of the last hole.
    fseeko(f, position - 1, SEEK_SET);
    put(Bytes(1, 0));
  }
  std::fclose(f);
}

// ---- RomBuilder ------------------------------------------------------

RomFile& RomBuilder::add_file(const std::string& name, const Bytes& data, uint32_t attributes) {
  RomFile f;
  f.name = name;
  f.data = data;
  f.attributes = attributes;
  files.push_back(std::move(f));
  return files.back();
}

RomModule& RomBuilder::add_module(const std::string& name) {
  RomModule m;
  m.name = name;
  modules.push_back(std::move(m));
  return modules.back();
}

uint32_t RomBuilder::file_table_address() const {
  return rom_header_address + 84 + module_count.value_or(static_cast<uint32_t>(modules.size())) * 32;
}

BinBuilder RomBuilder::layout() {
  BinBuilder bin;
  bin.image_start = image_start;
  const uint32_t n_modules = module_count.value_or(static_cast<uint32_t>(modules.size()));
  const uint32_t n_files = file_count.value_or(static_cast<uint32_t>(files.size()));

  uint32_t next = data_start != 0 ? data_start
                                  : file_table_address() + static_cast<uint32_t>(files.size()) * 28;
  // Alignment padding is zero content, so that the laid-out image is one
  // run of records without gaps, except where emit flags leave data out.
  auto allocate = [&next, &bin](size_t size) {
    uint32_t aligned = (next + 3u) & ~3u;
    if (aligned != next) bin.put(next, Bytes(aligned - next, 0));
    next = aligned;
    uint32_t at = next;
    next += static_cast<uint32_t>(std::max<size_t>(size, 1));
    return at;
  };

  Bytes signature = bytes_of(ecec);
  signature.resize(4);
  put_u32(signature, 4, rom_header_address);
  bin.put(image_start + 0x40, signature);

  Bytes header(84, 0);
  put_u32(header, 16, n_modules);
  put_u32(header, 48, n_files);
  put_u32(header, 8, physfirst);
  put_u32(header, 12, physlast);
  put_u32(header, 20, ram_start);
  put_u32(header, 24, ram_free);
  put_u32(header, 28, ram_end);
  put_u16(header, 68, cpu_type);
  bin.put(rom_header_address, header);
  const uint32_t e32_size = newer_e32 ? 110 : 106;
  const size_t directories = newer_e32 ? 0x24 : 0x20;

  for (size_t i = 0; i < modules.size(); ++i) {
    RomModule& m = modules[i];
    if (m.name_address == 0) m.name_address = allocate(m.name.size() + 1);
    if (m.emit_name) bin.put_string(m.name_address, m.name);
    if (m.e32offset == 0) m.e32offset = allocate(e32_size);
    if (m.o32offset == 0) m.o32offset = allocate(24 * m.sections.size());
    Bytes o32;
    for (size_t s = 0; s < m.sections.size(); ++s) {
      RomSection& sec = m.sections[s];
      if (sec.data_address == 0) sec.data_address = allocate(sec.data.size());
      if (sec.emit_data) bin.put(sec.data_address, sec.data);
      size_t at = 24 * s;
      put_u32(o32, at, sec.virtual_size);
      put_u32(o32, at + 4, sec.rva);
      put_u32(o32, at + 8, sec.stored_size.value_or(static_cast<uint32_t>(sec.data.size())));
      put_u32(o32, at + 12, sec.data_address);
      put_u32(o32, at + 16, sec.run_address);
      put_u32(o32, at + 20, sec.flags);
    }
    if (m.emit_o32) bin.put(m.o32offset, o32);
    Bytes e32(e32_size, 0);
    const E32Fields& e = m.e32;
    put_u16(e32, 0x00, e.section_count.value_or(static_cast<uint16_t>(m.sections.size())));
    put_u16(e32, 0x02, e.image_flags);
    put_u32(e32, 0x04, e.entry_point);
    put_u32(e32, 0x08, e.image_base);
    put_u16(e32, 0x0C, e.subsystem_major);
    put_u16(e32, 0x0E, e.subsystem_minor);
    put_u32(e32, 0x10, e.stack_reserve);
    put_u32(e32, 0x14, e.image_size);
    put_u32(e32, 0x18, e.com_directory[0]);
    put_u32(e32, 0x1C, e.com_directory[1]);
    if (newer_e32) put_u32(e32, 0x20, e.time_stamp);
    for (size_t d = 0; d < 9; ++d) {
      put_u32(e32, directories + 8 * d, e.directories[d][0]);
      put_u32(e32, directories + 4 + 8 * d, e.directories[d][1]);
    }
    put_u16(e32, directories + 0x48, e.subsystem);
    if (m.emit_e32) bin.put(m.e32offset, e32);

    Bytes entry(32, 0);
    put_u32(entry, 0, m.attributes);
    put_u32(entry, 4, static_cast<uint32_t>(m.file_time));
    put_u32(entry, 8, static_cast<uint32_t>(m.file_time >> 32));
    put_u32(entry, 12, m.size);
    put_u32(entry, 16, m.name_address);
    put_u32(entry, 20, m.e32offset);
    put_u32(entry, 24, m.o32offset);
    put_u32(entry, 28, m.load_offset);
    bin.put(module_table_address() + static_cast<uint32_t>(i) * 32, entry);
  }

  for (size_t i = 0; i < files.size(); ++i) {
    RomFile& f = files[i];
    if (f.name_address == 0) f.name_address = allocate(f.name.size() + 1);
    if (f.emit_name) bin.put_string(f.name_address, f.name);
    if (f.load_offset == 0) f.load_offset = allocate(f.data.size());
    if (f.emit_data) bin.put(f.load_offset, f.data);
    Bytes entry(28, 0);
    put_u32(entry, 0, f.attributes);
    put_u32(entry, 4, static_cast<uint32_t>(f.file_time));
    put_u32(entry, 8, static_cast<uint32_t>(f.file_time >> 32));
    put_u32(entry, 12, f.real_size.value_or(static_cast<uint32_t>(f.data.size())));
    put_u32(entry, 16, f.stored_size.value_or(static_cast<uint32_t>(f.data.size())));
    put_u32(entry, 20, f.name_address);
    put_u32(entry, 24, f.load_offset);
    bin.put(file_entry_address(static_cast<uint32_t>(i)), entry);
  }
  return rom_offset != 0 ? bin.moved_down(rom_offset) : bin;
}

RomModule& add_loader(RomBuilder& rom, uint32_t load_offset, const Bytes& code) {
  RomModule& nk = rom.add_module("nk.exe");
  nk.load_offset = load_offset;
  nk.attributes = 0x1;
  RomSection section;
  section.data = code;
  section.virtual_size = static_cast<uint32_t>(code.size());
  section.rva = 0x1000;
  section.flags = 0x60000020;
  nk.sections.push_back(section);
  return nk;
}

Bytes raw_image(RomBuilder& rom) {
  rom.physfirst = rom.image_start;
  rom.physlast = rom.image_start;
  const Bytes laid = rom.layout().raw_image();
  rom.physlast = rom.image_start + static_cast<uint32_t>(laid.size());
  return rom.layout().raw_image();
}

BinBuilder sparse_image(const std::string& name, uint32_t claimed) {
  RomBuilder rom;
  RomFile& f = rom.add_file(name, {});
  f.load_offset = 0x00010000u;
  f.real_size = f.stored_size = claimed;
  f.emit_data = false;
  BinBuilder bin = rom.layout();
  for (const Record& r : bin.records()) bin.add_raw_record(r);
  Record hole{0x00010000u, {}, {}, {}, 0};
  hole.hole = 0xFFF00000u;
  bin.add_raw_record(hole);
  return bin;
}

namespace {

constexpr uint32_t kRunLength = 256 * 1024;
constexpr uint32_t kRunStep = 128;

}  // namespace

RomBuilder files_inside_one_run(uint32_t count, uint32_t address) {
  RomBuilder rom;
  const Bytes data(kRunLength, 'r');
  for (uint32_t i = 0; i < count; ++i) {
    RomFile& file = rom.add_file("f" + std::to_string(i).append(".bin"), data);
    file.stored_size = file.real_size = kRunLength - kRunStep * i;
    file.load_offset = address + kRunStep * i;
    file.emit_data = i == 0;
  }
  return rom;
}

RomBuilder sections_inside_one_run(uint32_t count, uint32_t address) {
  RomBuilder rom;
  RomModule& module = rom.add_module("run.dll");
  for (uint32_t i = 0; i < count; ++i) {
    RomSection section;
    section.data = Bytes(i == 0 ? kRunLength : 0, 'r');
    section.virtual_size = kRunLength;
    section.rva = 0x1000 + i * kRunLength;
    section.stored_size = kRunLength - kRunStep * i;
    section.data_address = address + kRunStep * i;
    section.emit_data = i == 0;
    section.flags = 0x40;
    module.sections.push_back(section);
  }
  return rom;
}

}  // namespace testkit
