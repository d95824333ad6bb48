#include "base/allocator_tuning.hpp"

#include <malloc.h>

namespace nimbrel {

void tuneAllocatorForStreaming() {
  // Blocks up to 32 MiB (a 4K frame is 33 MiB of BGRA) come from the heap, and up to 64 MiB of
  // free heap is kept for the next frames instead of being handed back after every free.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
}

}  // namespace nimbrel
