// How the supervising process asks the agent to stop: a byte on standard input
// or its end of file, or SIGTERM / SIGINT. With standard input on /dev/null
// (a service manager's default) only the signals count.
#pragma once

namespace vorn {

// Records whether standard input is open. Call first thing in main: once any
// file is opened, a closed descriptor 0 would be reused by that file. A
// closed descriptor 0 is then occupied by /dev/null so it stays unused.
void CaptureStdinState();

// Installs the SIGTERM/SIGINT handlers, which only set the process's stop
// latch (common/linux/processstop.h). Call first thing in main, so a
// termination asked for during start-up is kept until WaitForTermination.
void InstallTerminationSignals();

// Blocks until termination is requested (by a signal, at any time since the
// handlers were installed, or through standard input). Returns at once, after logging
// "Failed to get STDIN handle", when file descriptor 0 was not open at start.
void WaitForTermination();

}  // namespace vorn
