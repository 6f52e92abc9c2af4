// A BIN file opened as the tool opens it, for tests that call the image
// operations directly.
#pragma once

#include <gtest/gtest.h>

#include "image/image.h"
#include "tool_run.h"

namespace testkit {

struct OpenedImage {
  TempDir dir;
  std::string path = dir / "nk.bin";
  xipsaw::BinStream stream;
  xipsaw::Image image{stream};

  // Writes bin into a directory of its own and opens it.
  explicit OpenedImage(const BinBuilder& bin) {
    bin.write(path);
    open();
  }
  // Opens an existing BIN file.
  explicit OpenedImage(const std::string& existing) : path(existing) { open(); }

  bool validate() { return xipsaw::read_ecec_header(image) && xipsaw::read_rom_header(image); }

  // count bytes from address on, as read_image delivers them after a
  // locate; bytes it does not deliver stay 0xEE.
  Bytes read(uint32_t address, uint32_t count, uint32_t* got = nullptr) {
    Bytes out(count, 0xEE);
    xipsaw::locate_address(image, address);
    uint32_t n = xipsaw::read_image(image, out.data(), count);
    if (got) *got = n;
    return out;
  }
  // Flushes the stream so that the file can be inspected.
  Bytes file() {
    stream.flush();
    return read_file(path);
  }

 private:
  void open() {
    EXPECT_TRUE(stream.open(path));
    EXPECT_EQ(xipsaw::read_bin_header(image), 1);
  }
};

}  // namespace testkit
