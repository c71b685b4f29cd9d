// Whether a data directory may hold the agent's files.
#pragma once

#include <string>

namespace vorn {

// True when 'directory' (as the registry names it, usually ending in '/') is
// an existing directory, reached without following a symbolic link at its
// last component, owned by root or by this process's effective user, and
// writable by its owner only. Anyone else who can write there could plant
// the log or the store (a link, a FIFO, a file of their own) and read what
// the agent writes: firmware and disk serial numbers, the identity. False
// with 'why' saying what is wrong, in words for an administrator.
bool DataDirectoryIsSafe(const std::string& directory, std::string& why);

}  // namespace vorn
