#include "agent/linux/crashserverprotocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorn {

namespace {

long long NowMs() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits for 'events' on fd until deadlineMs; false on timeout or error, or
// as soon as 'abandonFd' (when not -1) polls readable.
bool WaitFor(int fd, short events, long long deadlineMs, int abandonFd) {
    for (;;) {
        const long long left = deadlineMs - NowMs();
        if (left <= 0) {
            return false;
        }
        struct pollfd pfd[2]{};
        pfd[0].fd = fd;
        pfd[0].events = events;
        pfd[1].fd = abandonFd;  // poll skips a negative descriptor
        pfd[1].events = POLLIN;
        const int n = poll(pfd, 2, static_cast<int>(left));
        if (n > 0) {
            return pfd[1].revents == 0 && (pfd[0].revents & events) != 0;
        }
        if (n < 0 && errno != EINTR) {
            return false;
        }
    }
}

}  // namespace

socklen_t MakeCrashServerAddress(const char* name, struct sockaddr_un* address) {
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    const size_t len = strlen(name);
    if (len == 0 || len + 1 > sizeof address->sun_path) {
        return 0;
    }
    memcpy(address->sun_path + 1, name, len);  // sun_path[0] == 0: abstract
    return static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + len);
}

bool IsTrustedCrashPeer(uid_t uid) {
    return uid == 0 || uid == geteuid();
}

int ConnectToCrashServer(const char* name, pid_t* serverPid) {
    struct sockaddr_un address {};
    const socklen_t length = MakeCrashServerAddress(name, &address);
    if (length == 0) {
        return -1;
    }
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    // A non-blocking connect to a Unix socket either completes at once or
    // fails (EAGAIN when the server's backlog is full); it never hangs.
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), length) != 0) {
        close(fd);
        return -1;
    }
    struct ucred credentials {};
    socklen_t credLength = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &credLength) != 0 ||
        credLength != sizeof credentials || !IsTrustedCrashPeer(credentials.uid)) {
        close(fd);
        return -1;
    }
    if (serverPid != nullptr) {
        *serverPid = credentials.pid;
    }
    return fd;
}

bool ExchangeCrashMessage(int fd, const CrashRequest& request, int timeoutMs, CrashReply* reply,
                          int abandonFd) {
    const long long deadline = NowMs() + timeoutMs;
    for (;;) {
        const ssize_t sent = send(fd, &request, sizeof request, MSG_NOSIGNAL);
        if (sent == static_cast<ssize_t>(sizeof request)) {
            break;
        }
        if (sent >= 0 || (errno != EAGAIN && errno != EINTR) ||
            !WaitFor(fd, POLLOUT, deadline, abandonFd)) {
            return false;
        }
    }
    for (;;) {
        if (!WaitFor(fd, POLLIN, deadline, abandonFd)) {
            return false;
        }
        CrashReply answer{};
        const ssize_t got = recv(fd, &answer, sizeof answer, 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (got != static_cast<ssize_t>(sizeof answer) || answer.magic != kCrashMagic ||
            answer.version != kCrashProtocolVersion) {
            return false;
        }
        *reply = answer;
        return true;
    }
}

}  // namespace vorn
