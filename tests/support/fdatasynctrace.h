// Records every fdatasync of the test program: which file (by inode) and how
// long it was at that moment, so a test can tell which lines were on the disk
// once a crash of the machine could come. Include in one source file of a test
// program only: it defines fdatasync, through which the program's own calls
// (the agent's libraries are linked in statically) then go.
#pragma once

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "tests/support/testsupport.h"

namespace vorn::test {

struct SyncRecord {
    ino_t inode;
    off_t size;
};

inline std::mutex g_syncMutex;
inline std::vector<SyncRecord> g_syncs;  // guarded by g_syncMutex

// The sizes 'inode' had at each of its flushes, in order.
inline std::vector<off_t> SyncedSizes(ino_t inode) {
    std::lock_guard<std::mutex> lock(g_syncMutex);
    std::vector<off_t> sizes;
    for (const SyncRecord& record : g_syncs) {
        if (record.inode == inode) {
            sizes.push_back(record.size);
        }
    }
    return sizes;
}

}  // namespace vorn::test

extern "C" int fdatasync(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) == 0) {
        std::lock_guard<std::mutex> lock(vorn::test::g_syncMutex);
        vorn::test::g_syncs.push_back({info.st_ino, info.st_size});
    }
    return static_cast<int>(::syscall(SYS_fdatasync, fd));
}
