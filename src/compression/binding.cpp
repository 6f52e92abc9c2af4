#include "compression/binding.h"

#include <algorithm>
#include <new>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace xipsaw {

bool CompressionLibrary::load(const std::string& library_dir) {
#if defined(_WIN32)
  // The system's search order starts with the executable's own directory.
  (void)library_dir;
  HMODULE handle = LoadLibraryA(kCompressionLibraryName);
  if (handle == nullptr || handle == reinterpret_cast<HMODULE>(-1)) return false;
  compress = reinterpret_cast<CECompressFn>(reinterpret_cast<void*>(GetProcAddress(handle, "CECompress")));
  decompress = reinterpret_cast<CEDecompressFn>(reinterpret_cast<void*>(GetProcAddress(handle, "CEDecompress")));
#else
  void* handle = nullptr;
  if (!library_dir.empty())
    handle = dlopen((library_dir + "/" + kCompressionLibraryName).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) handle = dlopen(kCompressionLibraryName, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr || handle == reinterpret_cast<void*>(-1)) return false;
  compress = reinterpret_cast<CECompressFn>(dlsym(handle, "CECompress"));
  decompress = reinterpret_cast<CEDecompressFn>(dlsym(handle, "CEDecompress"));
#endif
  return compress != nullptr && decompress != nullptr;
}

int32_t expand_stored_bytes(const CompressionLibrary& codec, const uint8_t* stored, uint32_t stored_size,
                            uint32_t capacity, std::unique_ptr<uint8_t[]>& expanded) {
  if (codec.decompress == nullptr || stored_size > max_compressed_size(capacity)) return -1;
  const uint32_t room = std::min(capacity, kMaxExpandedSize);
  expanded.reset(new (std::nothrow) uint8_t[room == 0 ? 1 : room]);
  if (!expanded) return -1;
  const int32_t result = codec.expand(stored, stored_size, expanded.get(), room);
  return result < 0 || static_cast<uint32_t>(result) > room ? -1 : result;
}

}  // namespace xipsaw
