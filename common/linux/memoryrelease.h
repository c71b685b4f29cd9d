// How much memory the heap keeps: one arena for all threads, and freed pages
// handed back to the system.
#pragma once

namespace vorn {

// Returns to the system the pages that the allocator holds free, in every
// thread's heap: a long-running process that is idle between bursts of work
// would otherwise keep what the last burst freed resident. Costs a walk of
// the free lists; call it when a burst of work has ended, not in a loop.
void ReleaseFreedMemory() noexcept;

// Makes every thread allocate from one heap arena. By default each thread that
// allocates gets an arena of its own, which keeps its own free pages and
// partly filled blocks; a daemon whose few threads allocate little and
// seldom at once pays that for nothing. Call it first thing in main, before
// any thread starts.
void UseOneHeapArena() noexcept;

}  // namespace vorn
