// The UUID in a file system's superblock, read with the block-device probing
// library. The library is loaded on first use, not at start: the collector
// needs it only on machines without udev's by-uuid links, and loading it at
// every start of the agent and of vornctl costs time and resident memory on
// all the others.
#pragma once

#include <string>

namespace vorn {

// The UUID of the file system on the device node (or image file) at 'path';
// empty when the library cannot be loaded, the node cannot be probed, or it
// holds no file system with a UUID (each logged at debug level).
std::string SuperblockUUID(const std::string& path);

// The library's file name; a test names one that does not exist.
std::string ProbeLibraryName();
void SetProbeLibraryNameForTest(const std::string& name);

}  // namespace vorn
