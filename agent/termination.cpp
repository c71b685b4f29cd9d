#include "agent/termination.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "common/linux/processstop.h"
#include "common/vornlogger.h"

namespace vorn {

namespace {

bool g_stdinOpen = true;
int g_stdinErrno = 0;

// Only sets the process's stop latch, whose descriptor the waiting thread
// polls next to standard input. Every wait that could delay the shutdown
// watches the same latch, so a signal that arrives during start-up is not
// lost either: the wait returns as soon as it begins.
void OnTerminationSignal(int /*signo*/) {
    RequestProcessStop();
}

bool IsDevNull(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    struct stat null {};
    return stat("/dev/null", &null) == 0 && null.st_rdev == st.st_rdev;
}

}  // namespace

void CaptureStdinState() {
    if (fcntl(STDIN_FILENO, F_GETFD) == -1) {
        g_stdinOpen = false;
        g_stdinErrno = errno;
        const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd > STDIN_FILENO) {
            close(fd);
        }
    }
}

void InstallTerminationSignals() {
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

void WaitForTermination() {
    if (!g_stdinOpen) {
        errno = g_stdinErrno;
        VORN_LOG_ERRNO_AS(CVORNLogger::kWarning, "waitForTermination",
                          "Failed to get STDIN handle");
        return;
    }
    const bool watchStdin = !IsDevNull(STDIN_FILENO);
    if (ProcessStopFd() < 0) {
        VORN_LOG_ERROR("Failed to create the termination event");
    }
    pollfd fds[2] = {{ProcessStopFd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    const nfds_t count = watchStdin ? 2 : 1;
    for (;;) {
        if (ProcessStopRequested()) {
            return;
        }
        // Without the latch's descriptor (poll ignores a negative one) the
        // signals are still seen, a little later.
        const int ready = poll(fds, count, ProcessStopFd() < 0 ? 100 : -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;  // a failed wait ends the run, as a failed read would
        }
        if (fds[0].revents != 0) {
            return;
        }
        if (watchStdin && fds[1].revents != 0) {
            // A byte, end of file or an error: whatever the outcome, stop.
            char byte;
            ssize_t ignored = read(STDIN_FILENO, &byte, 1);
            (void)ignored;
            return;
        }
    }
}

}  // namespace vorn
