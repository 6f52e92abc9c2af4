// Records the largest single request to the global operator new while a
// probe is alive, and the most memory held through it at once, so that tests
// can tell that sizes taken from a hostile image never turn into huge
// buffers and that a run's memory does not grow with the image.
#pragma once

#include <cstddef>

namespace filetest {

class AllocationProbe {
 public:
  AllocationProbe();
  ~AllocationProbe();
  AllocationProbe(const AllocationProbe&) = delete;
  AllocationProbe& operator=(const AllocationProbe&) = delete;
  size_t largest() const;
  // The most bytes allocated through operator new and not yet released at
  // any one time since the probe began, beyond what was held then.
  size_t peak_held() const;
};

}  // namespace filetest
