// Replaces the global operator new and delete of the test program with ones
// that forward to malloc and free, keep count of the bytes held, and note
// the largest request and the most bytes held while a probe is alive.
#include "allocation_probe.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include <malloc.h>

namespace {

std::atomic<int> g_probes{0};
std::atomic<size_t> g_largest{0};
std::atomic<int64_t> g_held{0};       // bytes allocated and not yet released
std::atomic<int64_t> g_peak_held{0};  // the most of them while a probe is alive
std::atomic<int64_t> g_held_at_start{0};

int64_t usable_size(void* p) {
#if defined(_WIN32)
  return static_cast<int64_t>(_msize(p));
#else
  return static_cast<int64_t>(malloc_usable_size(p));
#endif
}

template <typename T>
void raise_to(std::atomic<T>& most, T value) {
  T seen = most.load(std::memory_order_relaxed);
  while (value > seen && !most.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

void* allocate(size_t size) noexcept {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) return p;
  const int64_t bytes = usable_size(p);
  const int64_t held = g_held.fetch_add(bytes) + bytes;
  if (g_probes.load(std::memory_order_relaxed) > 0) {
    raise_to(g_largest, size);
    raise_to(g_peak_held, held);
  }
  return p;
}

void release(void* p) noexcept {
  if (p == nullptr) return;
  g_held.fetch_sub(usable_size(p));
  std::free(p);
}

void* allocate_or_throw(size_t size) {
  void* p = allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

namespace filetest {

AllocationProbe::AllocationProbe() {
  g_largest.store(0);
  g_held_at_start.store(g_held.load());
  g_peak_held.store(g_held.load());
  g_probes.fetch_add(1);
}
AllocationProbe::~AllocationProbe() { g_probes.fetch_sub(1); }
size_t AllocationProbe::largest() const { return g_largest.load(); }
size_t AllocationProbe::peak_held() const {
  return static_cast<size_t>(std::max<int64_t>(g_peak_held.load() - g_held_at_start.load(), 0));
}

}  // namespace filetest

void* operator new(size_t size) { return allocate_or_throw(size); }
void* operator new[](size_t size) { return allocate_or_throw(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, size_t) noexcept { release(p); }
void operator delete[](void* p, size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
