// A whole-file advisory lock on a lock file: shared for readers, exclusive
// for the writer.
//
// Open file description locks (F_OFD_SETLK) are used rather than classic
// fcntl() record locks: they exclude each other between processes exactly as
// the classic ones do (and conflict with classic locks taken by other
// programs), but they also exclude two threads of one process that each hold
// their own CVORNFileLock, and closing some other descriptor of the same file
// does not silently drop them.
//
// A lock request never waits without bound: another process that holds the
// lock forever must not hold the agent with it. A request that is not granted
// at once waits in the kernel (so it competes fairly with other waiters), and
// a timer of the waiting thread interrupts that wait every 20 ms with the
// real-time signal SIGRTMIN+3 (handler installed on first use, does nothing)
// until the lock is granted, the time limit passes, or the process is asked
// to stop (ProcessStopRequested: a shutdown does not wait for another holder). Nothing else in the
// process may use that signal.
#pragma once

#include <chrono>
#include <string>

namespace vorn {

class CVORNFileLock {
public:
    enum class Mode { Shared, Exclusive };

    struct Options {
        // Create the lock file (mode 0600) when it is missing, so a deleted
        // lock file heals; otherwise it must exist.
        bool create = false;
        // How long another holder may keep the lock before the request fails.
        std::chrono::milliseconds timeout{10000};
    };

    CVORNFileLock() = default;
    // Releases the lock, if held, by closing the descriptor.
    ~CVORNFileLock();
    CVORNFileLock(const CVORNFileLock&) = delete;
    CVORNFileLock& operator=(const CVORNFileLock&) = delete;

    // Opens the lock file at 'path' without following a link and without
    // blocking on a FIFO or device, refuses anything but a regular file, and
    // waits at most options.timeout for the lock. A shared lock needs only
    // read access to the lock file. Returns false, with the reason (the
    // system's error text, or the time limit) and the path in 'errorText'.
    // Call at most once per object.
    bool Lock(const std::string& path, Mode mode, const Options& options, std::string& errorText);
    // The same with the default options: the file must exist, 10 s at most.
    bool Lock(const std::string& path, Mode mode, std::string& errorText) {
        return Lock(path, mode, Options(), errorText);
    }

    // The errno of a failed open of the lock file (EACCES: no permission),
    // 0 when Lock failed for another reason or did not fail.
    int OpenError() const { return m_nOpenError; }

private:
    int m_nFd = -1;
    int m_nOpenError = 0;
};

}  // namespace vorn
