#include "common/linux/processstop.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>

#include "common/vornlogger.h"

namespace vorn {

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the latch is set from a signal handler");

std::atomic<bool> g_stopRequested{false};

// Created before main, so a signal handler never has to create it. Kept off
// descriptors 0 to 2: main looks at whether standard input was open at start,
// and a closed descriptor 0 must not be mistaken for it. The counter is never
// read down: the descriptor stays readable once set.
int CreateStopFd() {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    (void)::close(fd);
    return high;
}

const int g_stopFd = CreateStopFd();

}  // namespace

void RequestProcessStop() noexcept {
    const int saved = errno;
    if (!g_stopRequested.exchange(true) && g_stopFd >= 0) {
        const uint64_t one = 1;
        ssize_t ignored = ::write(g_stopFd, &one, sizeof one);
        (void)ignored;
    }
    errno = saved;
}

bool ProcessStopRequested() noexcept {
    return g_stopRequested.load();
}

int ProcessStopFd() noexcept {
    return g_stopFd;
}

bool WaitForProcessStop(std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    while (!ProcessStopRequested()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        if (g_stopFd < 0) {
            // No descriptor to sleep on: look again in short steps.
            ::usleep(static_cast<useconds_t>(std::min<int64_t>(left.count(), 10) * 1000));
            continue;
        }
        pollfd entry{g_stopFd, POLLIN, 0};
        (void)::poll(&entry, 1, static_cast<int>(std::min<int64_t>(left.count(), 1 << 30)));
    }
    return true;
}

void EndProcessAfterThreadFailure(const char* thread, const char* what) noexcept {
    try {
        VORN_LOG_ERROR("Thread %s ended by an exception: %s", thread, what);
    } catch (...) {
        // Nothing more can be said; the exit code tells the rest.
    }
    ::_exit(2);
}

void ClearProcessStopForTesting() {
    if (g_stopFd >= 0) {
        uint64_t count = 0;
        ssize_t ignored = ::read(g_stopFd, &count, sizeof count);
        (void)ignored;
    }
    g_stopRequested.store(false);
}

}  // namespace vorn
