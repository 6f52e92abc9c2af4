// The exported entry points refuse every call that breaks the call contract.
#include <dlfcn.h>

#include <cstdint>

#include <gtest/gtest.h>

namespace {

using CompressFn = int32_t (*)(const void*, uint32_t, void*, uint32_t, uint32_t, uint32_t);
using DecompressFn = int32_t (*)(const void*, uint32_t, void*, uint32_t, uint32_t, uint32_t, uint32_t);

TEST(LibraryEntryPoints, RejectOtherConstantArguments) {
  void* handle = dlopen(XIPSAW_CODEC_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  auto compress = reinterpret_cast<CompressFn>(dlsym(handle, "CECompress"));
  auto decompress = reinterpret_cast<DecompressFn>(dlsym(handle, "CEDecompress"));
  ASSERT_NE(compress, nullptr);
  ASSERT_NE(decompress, nullptr);
  uint8_t src[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t dst[64] = {};
  EXPECT_LT(compress(src, 8, dst, 28, 2, 4096), 0);
  EXPECT_LT(compress(src, 8, dst, 28, 1, 8192), 0);
  const uint8_t empty[3] = {0, 0, 0};
  EXPECT_LT(decompress(empty, 3, dst, 64, 1, 1, 4096), 0);
  EXPECT_LT(decompress(empty, 3, dst, 64, 0, 0, 4096), 0);
  EXPECT_LT(decompress(empty, 3, dst, 64, 0, 1, 2048), 0);
}

}  // namespace
