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
// (unless helper messages are quiet, see helpermessages.h), leaves 'directory' unchanged and returns VORN_FAILED. Nothing is cached.
VORN_STATUS GetVORNDirectoryPath(std::string& directory);

// Replaces the process-wide configuration directory. Called by the entry
// thread before any other thread exists.
VORN_STATUS SetVORNConfigDirectory(const std::wstring& directory);

// A copy of the configuration directory; empty until it is set.
std::wstring GetVORNConfigDirectory();

}  // namespace vorn
