#include "common/linux/vornfilelock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

namespace vorn {

namespace {

std::atomic<bool> g_bWaitsAbandoned{false};

// The first pause is short so an ordinary writer's brief hold costs little;
// later pauses grow so a long hold costs few wake-ups.
constexpr std::chrono::milliseconds kFirstPause{1};
constexpr std::chrono::milliseconds kLongestPause{50};

std::string ErrorText(int error) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in 'buffer'.
    return strerror_r(error, buffer, sizeof(buffer));
}

}  // namespace

CVORNFileLock::~CVORNFileLock() {
    if (m_nFd >= 0) {
        // Closing the last descriptor of the open file description releases
        // its lock.
        (void)::close(m_nFd);
    }
}

void CVORNFileLock::AbandonWaits(bool abandon) {
    g_bWaitsAbandoned.store(abandon);
}

bool CVORNFileLock::Lock(const std::string& path, Mode mode, const Options& options,
                         std::string& errorText) {
    // An exclusive (write) lock needs a descriptor open for writing. A FIFO
    // planted in place of the lock file would block a plain open.
    const int flags = (mode == Mode::Exclusive ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY |
                      O_NOFOLLOW | O_NONBLOCK | (options.create ? O_CREAT : 0);
    const int fd = ::open(path.c_str(), flags, S_IRUSR | S_IWUSR);
    if (fd < 0) {
        m_nOpenError = errno;
        errorText = ErrorText(m_nOpenError) + ": " + path;
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        errorText = "not a regular file: " + path;
        (void)::close(fd);
        return false;
    }
    struct flock request {};
    request.l_type = (mode == Mode::Exclusive) ? F_WRLCK : F_RDLCK;
    request.l_whence = SEEK_SET;
    request.l_start = 0;
    request.l_len = 0;  // the whole file, however long
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    std::chrono::milliseconds pause = kFirstPause;
    for (;;) {
        if (::fcntl(fd, F_OFD_SETLK, &request) == 0) {
            m_nFd = fd;
            return true;
        }
        const int error = errno;
        if (error == EINTR) {
            continue;
        }
        if (error != EAGAIN && error != EACCES) {
            errorText = ErrorText(error) + ": " + path;
            break;
        }
        if (g_bWaitsAbandoned.load()) {
            errorText = "lock wait abandoned at shutdown: " + path;
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            errorText = "lock not granted within " + std::to_string(options.timeout.count()) +
                        " ms: " + path;
            break;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, kLongestPause);
    }
    (void)::close(fd);
    return false;
}

}  // namespace vorn
