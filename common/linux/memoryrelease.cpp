#include "common/linux/memoryrelease.h"

#include <malloc.h>

namespace vorn {

void UseOneHeapArena() noexcept {
    (void)::mallopt(M_ARENA_MAX, 1);
}

void ReleaseFreedMemory() noexcept {
    // Zero padding: keep nothing spare at the top of the heap. Every arena is
    // trimmed, not only the calling thread's.
    (void)::malloc_trim(0);
}

}  // namespace vorn
