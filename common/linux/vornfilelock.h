// A whole-file advisory lock on an existing lock file: shared for readers,
// exclusive for the writer.
//
// Open file description locks (F_OFD_SETLKW) are used rather than classic
// fcntl() record locks: they exclude each other between processes exactly as
// the classic ones do (and conflict with classic locks taken by other
// programs), but they also exclude two threads of one process that each hold
// their own CVORNFileLock, and closing some other descriptor of the same file
// does not silently drop them.
#pragma once

#include <string>

namespace vorn {

class CVORNFileLock {
public:
    enum class Mode { Shared, Exclusive };

    CVORNFileLock() = default;
    // Releases the lock, if held, by closing the descriptor.
    ~CVORNFileLock();
    CVORNFileLock(const CVORNFileLock&) = delete;
    CVORNFileLock& operator=(const CVORNFileLock&) = delete;

    // Opens the lock file at 'path' (which must exist; it is never created)
    // and blocks until the lock is granted. A shared lock needs only read
    // access to the lock file. Returns false, with the system's error text in
    // 'errorText', when the file cannot be opened or locked. Call at most once
    // per object.
    bool Lock(const std::string& path, Mode mode, std::string& errorText);

private:
    int m_nFd = -1;
};

}  // namespace vorn
