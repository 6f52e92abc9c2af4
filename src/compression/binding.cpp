#include "compression/binding.h"

#include <algorithm>
#include <new>

#if defined(_WIN32)
#include <windows.h>

#include "common/native_path.h"
#else
#include <dlfcn.h>
#endif

namespace xipsaw {

namespace {

#if defined(_WIN32)
using LibraryHandle = HMODULE;

LibraryHandle open_library(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');  // LoadLibrary takes only backslashes in a path
  return LoadLibraryW(native_path(path).c_str());
}

void* entry_point(LibraryHandle handle, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(handle, name));
}
#else
using LibraryHandle = void*;

LibraryHandle open_library(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }

void* entry_point(LibraryHandle handle, const char* name) { return dlsym(handle, name); }
#endif

}  // namespace

bool CompressionLibrary::load(const std::string& library_dir) {
  LibraryHandle handle = nullptr;
  if (!library_dir.empty()) handle = open_library(library_dir + "/" + kCompressionLibraryName);
  // A bare name: on Windows the search begins in the executable's directory.
  if (handle == nullptr) handle = open_library(kCompressionLibraryName);
  if (handle == nullptr || handle == reinterpret_cast<LibraryHandle>(-1)) return false;
  compress = reinterpret_cast<CECompressFn>(entry_point(handle, "CECompress"));
  decompress = reinterpret_cast<CEDecompressFn>(entry_point(handle, "CEDecompress"));
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
