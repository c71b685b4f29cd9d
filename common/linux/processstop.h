// How the process stops: a process-wide "stopping" latch, and the exit taken
// when a thread fails beyond repair.
//
// The latch: Once a termination has been asked for,
// every wait that could hold up the shutdown (a name lookup, a store lock)
// gives up at once instead of running to its own deadline.
#pragma once

#include <chrono>

namespace vorn {

// Sets the latch. Async-signal-safe, so a termination signal handler may call
// it; idempotent.
void RequestProcessStop() noexcept;

// True once RequestProcessStop has been called.
bool ProcessStopRequested() noexcept;

// A descriptor that polls readable (POLLIN) once the latch is set, for waits
// that sleep in poll(); never read it. -1 if it could not be created, in
// which case waiters fall back to checking ProcessStopRequested.
int ProcessStopFd() noexcept;

// Sleeps until the latch is set or 'timeout' has passed; true when it is set.
bool WaitForProcessStop(std::chrono::milliseconds timeout);

// For the body of a thread that the process cannot run without: logs at
// error level "Thread %s ended by an exception: %s" and ends the process at
// once with exit code 2, so the service manager starts it afresh rather than
// leaving a process that no longer answers. Destructors do not run: other
// threads may still be using what they would release.
[[noreturn]] void EndProcessAfterThreadFailure(const char* thread, const char* what) noexcept;

// Clears the latch, so one test process can exercise several stops.
void ClearProcessStopForTesting();

}  // namespace vorn
