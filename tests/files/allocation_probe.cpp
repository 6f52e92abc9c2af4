// Replaces the global operator new and delete of the test program with ones
// that forward to malloc and free and note the largest request while a probe
// is alive. Outside a probe they only forward.
#include "allocation_probe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<int> g_probes{0};
std::atomic<size_t> g_largest{0};

void* allocate(size_t size) noexcept {
  if (g_probes.load(std::memory_order_relaxed) > 0) {
    size_t seen = g_largest.load(std::memory_order_relaxed);
    while (size > seen && !g_largest.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
    }
  }
  return std::malloc(size == 0 ? 1 : size);
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
  g_probes.fetch_add(1);
}
AllocationProbe::~AllocationProbe() { g_probes.fetch_sub(1); }
size_t AllocationProbe::largest() const { return g_largest.load(); }

}  // namespace filetest

void* operator new(size_t size) { return allocate_or_throw(size); }
void* operator new[](size_t size) { return allocate_or_throw(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
