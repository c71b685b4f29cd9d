// The few diagnostics that low-level helpers (registry look-ups, the data
// directory path) write straight to standard error, because they can fail
// before any log file exists.
//
// The agent keeps them: under systemd they are its only trace of a failure
// that happens before the log is open, and a missing sibling product shows up
// as "Failed to fetch registry handle." at every collection. A command-line
// client that explains failures in its own words switches them off, so that a
// healthy run prints nothing on standard error.
#pragma once

namespace vorn {

// Writes 'line' (which ends with its own newline) to standard error unless
// helper messages are quiet. Thread-safe.
void HelperMessage(const char* line);

// Quiets (true) or restores (false) helper messages for the whole process.
void SetHelperMessagesQuiet(bool quiet);

}  // namespace vorn
