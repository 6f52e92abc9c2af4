// Records the largest single request to the global operator new while a
// probe is alive, so that tests can tell that sizes taken from a hostile
// image never turn into huge buffers.
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
};

}  // namespace filetest
