#include "common/linux/listensocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

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

// A Unix sequential-packet socket listening on 'path'.
bool IsUnixListener(int fd, const std::string& path) {
    struct stat info {};
    int type = 0;
    socklen_t typeLength = sizeof(type);
    int listening = 0;
    socklen_t listeningLength = sizeof(listening);
    sockaddr_un address{};
    socklen_t length = sizeof(address);
    if (::fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode) ||
        ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_SEQPACKET ||
        ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &listeningLength) != 0 ||
        listening == 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sun_family != AF_UNIX) {
        return false;
    }
    const size_t offset = offsetof(sockaddr_un, sun_path);
    const size_t size = length > offset ? length - offset : 0;
    return std::string(address.sun_path, strnlen(address.sun_path, size)) == path;
}

// The environment is read once, whichever socket is asked for first; each
// passed descriptor is handed out at most once.
std::mutex g_passedMutex;
bool g_passedRead = false;
int g_passedCount = 0;
std::set<int> g_passedTaken;

// Count of passed descriptors; g_passedMutex held.
int PassedCount() {
    if (!g_passedRead) {
        g_passedRead = true;
        const int count = ListenFdsFromEnvironment();
        if (count < 0) {
            VORN_LOG_WARNING("Ignoring the sockets passed by the service manager: %d", count);
        }
        g_passedCount = count < 0 ? 0 : count;
    }
    return g_passedCount;
}

// A passed socket must be the agent's alone. systemd sets SO_REUSEADDR on
// every socket it listens on, and a UDP port whose socket has it can be bound
// a second time by any local user who sets it too: that user would then
// receive clients' requests in the agent's place. Cleared here, before the
// agent serves, the next bind of the port conflicts again. SO_REUSEPORT
// cannot be undone for a socket already in a port group, so a socket with it
// is not used at all.
bool MakeExclusive(int fd, uint16_t port) {
    int reusePort = 0;
    socklen_t length = sizeof(reusePort);
    if (::getsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &reusePort, &length) != 0 || reusePort != 0) {
        VORN_LOG_ERROR("The socket passed for port %hu allows SO_REUSEPORT; it is not used", port);
        return false;
    }
    const int off = 0;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &off, sizeof(off)) != 0) {
        VORN_LOG_ERRNO(CVORNLogger::kError,
                       "Cannot clear SO_REUSEADDR on the socket passed for the port; it is not "
                       "used");
        return false;
    }
    return true;
}

}  // namespace

int TakeListenSocket(uint16_t port) {
    std::lock_guard<std::mutex> lock(g_passedMutex);
    const int count = PassedCount();
    for (int fd = kListenFdsStart; fd < kListenFdsStart + count; ++fd) {
        if (g_passedTaken.count(fd) == 0 && IsLoopbackDatagramSocket(fd, port)) {
            g_passedTaken.insert(fd);
            if (!MakeExclusive(fd, port)) {
                return -1;
            }
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

int TakeUnixListenSocket(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_passedMutex);
    const int count = PassedCount();
    for (int fd = kListenFdsStart; fd < kListenFdsStart + count; ++fd) {
        if (g_passedTaken.count(fd) == 0 && IsUnixListener(fd, path)) {
            g_passedTaken.insert(fd);
            VORN_LOG_DEBUG("Using the socket passed by the service manager for %s", path.c_str());
            return fd;
        }
    }
    return -1;
}

}  // namespace vorn
