#include "common/linux/vornfilelock.h"

#include "common/linux/processstop.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace vorn {

namespace {

// While a lock request waits in the kernel, a timer interrupts it this often
// so the time limit and a stop of the process are noticed. A periodic tick also
// covers the tick that lands just before the wait begins.
constexpr long kTickNanoseconds = 20 * 1000 * 1000;

// A real-time signal nothing else in the process uses, sent only to the
// thread that waits, by its own timer. Its handler does nothing: the point
// is that it interrupts the wait (no SA_RESTART).
int WakeSignal() {
    return SIGRTMIN + 3;
}

void IgnoreWake(int /*signo*/) {}

bool InstallWakeHandler() {
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_handler = IgnoreWake;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        return ::sigaction(WakeSignal(), &action, nullptr) == 0;
    }();
    return installed;
}

std::string ErrorText(int error) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in 'buffer'.
    return strerror_r(error, buffer, sizeof(buffer));
}

// Interrupts the calling thread every tick while it lives; on destruction
// stops the timer and swallows a tick still pending, so no later system
// call of this thread is interrupted by it.
class WaitTicker {
public:
    WaitTicker() {
        if (!InstallWakeHandler()) {
            return;
        }
        sigset_t wake;
        sigemptyset(&wake);
        sigaddset(&wake, WakeSignal());
        if (::pthread_sigmask(SIG_UNBLOCK, &wake, &m_oldMask) != 0) {
            return;
        }
        m_bMaskChanged = true;
        struct sigevent event {};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = WakeSignal();
        event._sigev_un._tid = ::gettid();
        if (::timer_create(CLOCK_MONOTONIC, &event, &m_timer) != 0) {
            return;
        }
        m_bTimer = true;
        struct itimerspec period {};
        period.it_value.tv_nsec = kTickNanoseconds;
        period.it_interval.tv_nsec = kTickNanoseconds;
        m_bTicking = ::timer_settime(m_timer, 0, &period, nullptr) == 0;
    }

    ~WaitTicker() {
        if (m_bTimer) {
            (void)::timer_delete(m_timer);
        }
        if (m_bMaskChanged) {
            sigset_t wake;
            sigemptyset(&wake);
            sigaddset(&wake, WakeSignal());
            (void)::pthread_sigmask(SIG_BLOCK, &wake, nullptr);
            const struct timespec now {};
            while (::sigtimedwait(&wake, nullptr, &now) == WakeSignal()) {
            }
            (void)::pthread_sigmask(SIG_SETMASK, &m_oldMask, nullptr);
        }
    }

    WaitTicker(const WaitTicker&) = delete;
    WaitTicker& operator=(const WaitTicker&) = delete;

    // False when no timer could be set up: the caller must not block.
    bool Ticking() const { return m_bTicking; }

private:
    sigset_t m_oldMask{};
    bool m_bMaskChanged = false;
    timer_t m_timer{};
    bool m_bTimer = false;
    bool m_bTicking = false;
};

}  // namespace

CVORNFileLock::~CVORNFileLock() {
    if (m_nFd >= 0) {
        // Closing the last descriptor of the open file description releases
        // its lock.
        (void)::close(m_nFd);
    }
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
    // The usual case costs one call. Only a lock someone holds sets up the
    // ticker; the wait itself is the kernel's, so this request competes
    // fairly with other waiters instead of having to hit a free moment.
    if (::fcntl(fd, F_OFD_SETLK, &request) == 0) {
        m_nFd = fd;
        return true;
    }
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) {
        errorText = ErrorText(errno) + ": " + path;
        (void)::close(fd);
        return false;
    }
    WaitTicker ticker;
    for (;;) {
        if (ProcessStopRequested()) {
            errorText = "lock wait abandoned at shutdown: " + path;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            errorText = "lock not granted within " + std::to_string(options.timeout.count()) +
                        " ms: " + path;
            break;
        }
        const int result = ::fcntl(fd, ticker.Ticking() ? F_OFD_SETLKW : F_OFD_SETLK, &request);
        if (result == 0) {
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
        // Without a ticker the request cannot block; retry after a pause.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    (void)::close(fd);
    return false;
}

}  // namespace vorn
