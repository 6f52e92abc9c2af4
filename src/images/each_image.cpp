#include "images/each_image.h"

#include <cstring>

#include "output/messages.h"
#include "search/image_search.h"

namespace xipsaw {

bool is_bin_file(BinStream& stream) {
  uint8_t signature[kBinSignatureSize] = {};
  stream.seek(0);
  const bool bin = stream.read(signature, sizeof signature) == sizeof signature && BinHeader::signed_by(signature);
  stream.seek(0);
  return bin;
}

size_t for_each_image(Run& run, const std::function<void()>& visit, const std::function<void()>& container) {
  if (is_bin_file(run.stream)) {
    // A BIN file is the one container it begins with.
    if (!read_bin_header(run.image)) {
      say(run.out, "Invalid XIP file\n");
      return 0;
    }
    if (container) container();
    if (!read_ecec_header(run.image)) {
      say(run.out, "Invalid ECEC header\n");
      return 0;
    }
    if (!read_rom_header(run.image)) {
      say(run.out, "Invalid ROM header\n");
      return 0;
    }
    visit();
    return 1;
  }
  // Any other file is searched for the images it holds. With one, the run is
  // as on a BIN file; with several, each comes after a line that says where
  // it lies and extracts into a subdirectory named so, and each is rebuilt
  // as it would be alone.
  const ImageSearch search = find_images(run.stream);
  if (search.images.empty()) {
    say(run.out, search.unreadable ? "Unable to read BIN file\n" : "Invalid XIP file\n");
    return 0;
  }
  run.several_images = search.images.size() > 1;
  size_t visited = 0;
  for (const FoundImage& found : search.images) {
    if (run.several_images) {
      const std::string offset = offset_name(found.offset);
      say(run.out, "Image at offset %s\n", offset.c_str());
      run.output_directory.set_subdirectory(offset);
    }
    run.image = Image(run.stream);
    run.section_names = {};
    run.used_blocks.clear();
    if (open_found_image(run.image, found)) {
      if (container) container();
      visit();
      ++visited;
    }
  }
  if (search.more) {
    const auto kept = static_cast<unsigned long long>(search.images.size());
    say(run.out, "More than %llu images in the file: only the first %llu were read\n", kept, kept);
  }
  if (search.unreadable) say(run.out, "Unable to read BIN file\n");
  return visited;
}

}  // namespace xipsaw
