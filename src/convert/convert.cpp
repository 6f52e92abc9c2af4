#include "convert/convert.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "common/offset_name.h"
#include "common/words.h"
#include "convert/image_bytes.h"
#include "images/each_image.h"
#include "output/messages.h"
#include "output/protected_files.h"

namespace xipsaw {

namespace {

// A number as the command line gives it: hexadecimal after 0x, else
// decimal; nothing when it is neither, or above max.
std::optional<uint64_t> number(const char* text, uint64_t max) {
  const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* digits = hex ? text + 2 : text;
  if (*digits == '\0' || *digits == '-' || *digits == '+' || *digits == ' ') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(digits, &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || value > max) return std::nullopt;
  return value;
}

// ---- The forms ------------------------------------------------------------

constexpr size_t kSlice = size_t{1} << 20;
constexpr uint32_t kRecordLength = 64 * 1024;  // of the records written
constexpr uint64_t kMostPerFileByte = 200;      // bytes written at most for each byte of the file

void write_record_header(OutputFile& out, const BinRecord& record) {
  uint8_t header[kRecordHeaderSize];
  record.store(header);
  out.write(header, sizeof header);
}

// The raw image: count bytes of the address space from the place from on
// (its distance from the image's first address), into out a slice at a
// time.
bool write_raw(Image& image, const ImageExtent& extent, int64_t from, uint64_t count, OutputFile& out) {
  ImageBytes bytes(image, extent, from);
  std::unique_ptr<uint8_t[]> slice(new uint8_t[kSlice]);
  for (uint64_t done = 0; done < count && !out.failed();) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count - done, kSlice));
    if (!bytes.read(slice.get(), n)) return false;
    out.write(slice.get(), n);
    done += n;
  }
  return true;
}

// The header, records of every byte of the image in address order, each
// with its checksum, and the end record, whose length is where the boot
// loader jumps. An image that runs across the top of the address space has
// its records end there and go on from address 0, as its source's do.
bool write_bin(Image& image, const ImageExtent& extent, uint32_t launch, OutputFile& out) {
  uint8_t header[kBinHeaderSize];
  BinHeader{extent.first, static_cast<uint32_t>(extent.length)}.store(header);
  out.write(header, sizeof header);
  // A record at address 0 whose bytes sum to 0 would read as the end
  // record. The image's first record holds its "ECEC" signature, 0x40
  // bytes in, so only an image whose end its ROM header puts before that
  // (a hostile one) can have such a record: its zeros are left out.
  ImageBytes bytes(image, extent, 0);
  std::unique_ptr<uint8_t[]> data(new uint8_t[kRecordLength]);
  for (uint64_t done = 0; done < extent.length && !out.failed();) {
    const uint32_t address = extent.first + static_cast<uint32_t>(done);
    const auto n = static_cast<uint32_t>(
        std::min<uint64_t>({extent.length - done, kRecordLength, kAddressSpaceEnd - address}));
    if (!bytes.read(data.get(), n)) return false;
    uint32_t sum = 0;
    for (uint32_t i = 0; i < n; ++i) sum += data[i];
    if (!is_end_record(address, sum)) {
      write_record_header(out, {address, n, sum});
      out.write(data.get(), n);
    }
    done += n;
  }
  write_record_header(out, {0, launch, 0});
  return true;
}

struct Request {
  bool bin = false;
  std::string out;
  std::optional<uint64_t> start;  // as the image runs
  std::optional<uint64_t> size;
  uint64_t spanned = 0;  // by the images of the file written before
};

// Writes run.image as the request asks; false after saying why it could not.
bool convert_image(Run& run, Request& request) {
  Image& image = run.image;
  const std::string path = run.several_images ? numbered_path(request.out, image.file_offset) : request.out;
  const std::string target = shown(path);
  say(run.out, "Writing %s ...\n", target.c_str());
  if (!image.store->complete()) {
    say(run.out, "Unable to write %s: the file holds more records than xipsaw indexes\n", target.c_str());
    return false;
  }
  const ImageExtent extent = image_extent(image);
  int64_t from = 0;  // from the image's first address
  uint64_t length = extent.length;
  if (request.start) {
    // START as the records address it: inside the image, before its first
    // address (zeros up to it are written), or past its end.
    const auto start = static_cast<uint32_t>(*request.start - image.rom_offset);
    const uint32_t distance = start - extent.first;
    from = distance >= extent.length && start < extent.first ? -int64_t{extent.first - start} : int64_t{distance};
    if (!request.size && from >= static_cast<int64_t>(extent.length)) {
      say(run.out, "Unable to write %s: 0x%08llx lies past the end of the image\n", target.c_str(),
          static_cast<unsigned long long>(*request.start));
      return false;
    }
    length = request.size ? *request.size : extent.length - from;
  }
  // An address space is 4 GiB: a small hostile file whose ROM header or
  // records claim addresses far apart would fill the disk with zeros. Real
  // images take a few times the bytes of their files at most; a SIZE given
  // is the user's to choose. The images of one file (a flash dump holds
  // many) share the bound.
  const int64_t file_size = std::max<int64_t>(image.stream->size(), 1);
  const uint64_t most = kMostPerFileByte * static_cast<uint64_t>(file_size);
  const uint64_t span = request.bin ? extent.length : length;
  if (!request.size && span > most - std::min(most, request.spanned)) {
    say(run.out, "Unable to write %s: the image spans 0x%llx bytes, more than %llu times the file it is in%s%s\n",
        target.c_str(), static_cast<unsigned long long>(span), static_cast<unsigned long long>(kMostPerFileByte),
        request.spanned != 0 ? " with the images before it" : "",
        request.bin ? "" : "; START and SIZE choose what to write");
    return false;
  }
  if (!request.size) request.spanned += span;
  OutputFile file;
  switch (create_replacing(path, run.output_directory.protected_files(), file)) {
    case Replacing::created:
      break;
    case Replacing::is_protected:
      say(run.out, "Unable to write %s: it is %s or its journal\n", target.c_str(), shown(run.bin_path).c_str());
      return false;
    case Replacing::failed:
      say(run.out, "Unable to open %s\n", target.c_str());
      return false;
  }
  const bool read = request.bin ? write_bin(image, extent, launch_address(image), file)
                                : write_raw(image, extent, from, length, file);
  if (!read) {
    file.discard();
    say(run.out, "Unable to read BIN file\n");
    return false;
  }
  if (!file.close()) {
    say(run.out, "Unable to write %s\n", target.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool convert_takes(int word_count, const char* const* words) {
  if (word_count < 2) return false;
  if (equal_ignoring_ascii_case(words[0], "bin")) return word_count == 2;
  return equal_ignoring_ascii_case(words[0], "raw") && word_count <= 4;
}

std::string numbered_path(const std::string& path, int64_t offset) {
  size_t leaf = 0;
  directory_of(path, leaf);
  // The extension: from the last '.' of the file's own name, unless that
  // name begins with it.
  const size_t dot = path.find_last_of('.');
  const size_t at = dot != std::string::npos && dot > leaf ? dot : path.size();
  return path.substr(0, at) + "-" + offset_name(offset) + path.substr(at);
}

int convert(Run& run, int word_count, const char* const* words) {
  Request request;
  request.bin = equal_ignoring_ascii_case(words[0], "bin");
  request.out = words[1];
  if (word_count > 2 && !(request.start = number(words[2], UINT32_MAX))) {
    say(run.out, "Invalid address %s: give it in hexadecimal after 0x, or in decimal\n", printable(words[2]).c_str());
    return kProblems;
  }
  if (word_count > 3 && !(request.size = number(words[3], uint64_t{1} << 32))) {
    say(run.out, "Invalid size %s: give it in hexadecimal after 0x, or in decimal, at most 4 GiB\n",
        printable(words[3]).c_str());
    return kProblems;
  }
  size_t written = 0;
  const size_t images = for_each_image(run, [&] { written += convert_image(run, request) ? 1 : 0; });
  if (images == 0) return kNoImage;
  return written == images ? kSound : kProblems;
}

}  // namespace xipsaw
