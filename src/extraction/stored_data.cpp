#include "extraction/stored_data.h"

#include <algorithm>
#include <memory>
#include <new>

#include "extraction/failure_report.h"

namespace xipsaw {

namespace {

// Plain data goes to the output in slices of this many bytes.
constexpr uint32_t kSlice = 1u << 20;

// A buffer of count bytes (at least one), left uninitialised; empty when it
// cannot be had.
std::unique_ptr<uint8_t[]> buffer_of(uint32_t count) {
  return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[count == 0 ? 1 : count]);
}

}  // namespace

namespace {

// Copies up to count bytes at the cursor, a slice at a time.
uint32_t copy_stored_data(Image& image, OutputFile& output, uint32_t count) {
  // The first slice's buffer takes only what the image holds, however large
  // count is; later slices reuse it.
  const uint32_t first = measure_image(image, image.cursor.address, std::min(count, kSlice));
  if (first == 0) return 0;
  std::unique_ptr<uint8_t[]> slice = buffer_of(first);
  uint32_t copied = 0;
  while (slice && copied < count && !output.failed()) {
    const uint32_t wanted = std::min(count - copied, first);
    const uint32_t got = read_image(image, slice.get(), wanted);
    output.write(slice.get(), got);
    copied += got;
    if (got < wanted) break;
  }
  return copied;
}

}  // namespace

int32_t expand_at_cursor(Run& run, uint32_t stored_size, uint32_t capacity, std::unique_ptr<uint8_t[]>& expanded) {
  Image& image = run.image;
  // Only up to one byte beyond the longest valid buffer is measured, and
  // nothing of a longer one is read.
  const uint32_t limit = max_compressed_size(capacity);
  const uint32_t held = measure_image(image, image.cursor.address, std::min(stored_size, limit + 1));
  if (held > limit) return -1;
  std::unique_ptr<uint8_t[]> stored = buffer_of(held);
  if (!stored) return -1;
  const uint32_t got = read_image(image, stored.get(), held);
  return expand_stored_bytes(run.codec, stored.get(), got, capacity, expanded);
}

namespace {

// Expands the stored_size bytes at the cursor into output; the library's
// result, or a negative value with nothing written.
int32_t expand_stored_data(Run& run, OutputFile& output, uint32_t stored_size, uint32_t capacity) {
  std::unique_ptr<uint8_t[]> expanded;
  const int32_t result = expand_at_cursor(run, stored_size, capacity, expanded);
  if (result > 0) output.write(expanded.get(), static_cast<size_t>(result));
  return result;
}

}  // namespace

bool write_stored_data(Run& run, OutputFile& output, uint32_t stored_size, uint32_t capacity, bool compressed,
                       uint32_t& written) {
  written = 0;
  if (!compressed) {
    written = copy_stored_data(run.image, output, stored_size);
    return true;
  }
  const int32_t result = expand_stored_data(run, output, stored_size, capacity);
  if (result >= 0) {
    written = static_cast<uint32_t>(result);
    return true;
  }
  report_failure(run, "Error in CEDecompress()\n");
  return false;
}

}  // namespace xipsaw
