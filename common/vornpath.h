// Where the agent's files live: the data directory (from the registry value
// "DataDir") and the configuration directory (from the command line).
#pragma once

#include <string>

#include "common/vornstatus.h"

namespace vorn {

// Registry location of the data directory.
inline constexpr const wchar_t* kVORNRegistryKey = L"SOFTWARE\\Zanto\\Quoralis\\Tessellink\\VORN";
inline constexpr const wchar_t* kVORNDataDirValue = L"DataDir";

// Reads the data directory (UTF-8, ending in a separator) into 'directory'.
// On failure writes "Failed to get Program Data path\n" to standard error
// (unless helper messages are quiet, see helpermessages.h), leaves 'directory'
// unchanged and returns VORN_FAILED. A value that is empty or does not convert
// counts as a failure: appending file names to it would put the log and the
// store in the working directory. Nothing is cached.
VORN_STATUS GetVORNDirectoryPath(std::string& directory);

// Replaces the process-wide configuration directory with the bytes given
// (a file name, used as the command line gave it: not necessarily UTF-8).
// Called by the entry thread before any other thread exists.
VORN_STATUS SetVORNConfigDirectory(const std::string& directory);
// The same for wide text, stored as UTF-8.
VORN_STATUS SetVORNConfigDirectory(const std::wstring& directory);

// A copy of the configuration directory's bytes; empty until it is set.
std::string GetVORNConfigDirectory();

}  // namespace vorn
