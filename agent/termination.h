// How the supervising process asks the agent to stop: a byte on standard input
// or its end of file, or SIGTERM / SIGINT. With standard input on /dev/null
// (a service manager's default) only the signals count.
#pragma once

namespace vorn {

// Installs the SIGTERM/SIGINT handlers, which only wake WaitForTermination.
// Call once, before WaitForTermination.
void InstallTerminationSignals();

// Blocks until termination is requested. Returns at once, after logging
// "Failed to get STDIN handle", when file descriptor 0 is not open.
void WaitForTermination();

}  // namespace vorn
