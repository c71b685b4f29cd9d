#include "common/linux/listensocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "common/vornlogger.h"

namespace vorn {

namespace {

// Descriptors passed by the service manager start after standard error.
constexpr int kListenFdsStart = 3;

// A whole decimal number in [0, max], or -1.
long ParseCount(const char* text, long max) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return -1;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || value > static_cast<unsigned long>(max)) {
        return -1;
    }
    return static_cast<long>(value);
}

// The socket-activation protocol: LISTEN_PID names the process the
// descriptors are meant for and LISTEN_FDS how many start at descriptor 3.
// Spoken directly (a few environment reads) rather than through the service
// manager's client library, which would stay mapped in the idle agent for
// this one call at start-up. Returns the count (0 when nothing was passed for
// this process) or a negative errno value; the variables are removed either
// way, so children never take the descriptors for theirs.
int ListenFdsFromEnvironment() {
    const long pid = ParseCount(std::getenv("LISTEN_PID"), LONG_MAX);
    const long count = ParseCount(std::getenv("LISTEN_FDS"), INT_MAX - kListenFdsStart);
    const bool forUs = pid > 0 && pid == static_cast<long>(::getpid());
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    if (!forUs) {
        return 0;
    }
    if (count < 0) {
        return -EINVAL;
    }
    for (int fd = kListenFdsStart; fd < kListenFdsStart + static_cast<int>(count); ++fd) {
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags < 0 || ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0) {
            return -errno;
        }
    }
    return static_cast<int>(count);
}

// An IPv4 datagram socket bound to 127.0.0.1:port.
bool IsLoopbackDatagramSocket(int fd, uint16_t port) {
    struct stat info {};
    int type = 0;
    socklen_t typeLength = sizeof(type);
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    return ::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode) &&
           ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) == 0 && type == SOCK_DGRAM &&
           ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
           length == sizeof(address) && address.sin_family == AF_INET &&
           address.sin_port == htons(port) && address.sin_addr.s_addr == htonl(INADDR_LOOPBACK);
}

}  // namespace

int TakeListenSocket(uint16_t port) {
    const int count = ListenFdsFromEnvironment();
    if (count < 0) {
        VORN_LOG_WARNING("Ignoring the sockets passed by the service manager: %d", count);
        return -1;
    }
    for (int fd = kListenFdsStart; fd < kListenFdsStart + count; ++fd) {
        if (IsLoopbackDatagramSocket(fd, port)) {
            VORN_LOG_DEBUG("Using the socket passed by the service manager for port %hu", port);
            return fd;
        }
    }
    if (count > 0) {
        VORN_LOG_WARNING("None of the %d sockets passed by the service manager is 127.0.0.1:%hu",
                         count, port);
    }
    return -1;
}

}  // namespace vorn
