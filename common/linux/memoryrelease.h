// Handing freed heap memory back to the system.
#pragma once

namespace vorn {

// Returns to the system the pages that the allocator holds free, in every
// thread's heap: a long-running process that is idle between bursts of work
// would otherwise keep what the last burst freed resident. Costs a walk of
// the free lists; call it when a burst of work has ended, not in a loop.
void ReleaseFreedMemory() noexcept;

}  // namespace vorn
