// Keeps the number of crash dumps in the dump directory bounded.
//
// Every crash written in process leaves one core file of the whole agent
// (megabytes each); a machine that runs for months must not fill its data
// directory with them. At start-up the newest few are kept for analysis and
// the older ones removed.
#pragma once

#include <cstddef>
#include <string>

namespace vorn {

// Number of dumps kept by the agent.
constexpr size_t kCrashDumpsKept = 3;

// True for the names the crash handler gives its dumps:
// "<program>-<pid>-<seconds>.core" or "<program>-<pid>-<seconds>-<n>.core".
bool IsCrashDumpName(const std::string& name);

// Removes all but the 'keep' newest crash dumps (by modification time, the
// name breaking ties) in 'directory'. Only regular files with a dump's name
// are counted or removed; links and anything else are left alone. Each
// removal is logged. Returns the number of files removed; a directory that
// cannot be read removes nothing.
size_t PruneCrashDumps(const std::string& directory, size_t keep);

}  // namespace vorn
