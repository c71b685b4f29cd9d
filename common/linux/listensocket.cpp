#include "common/linux/listensocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>

#include "common/vornlogger.h"

namespace vorn {

namespace {

bool IsBoundToLoopback(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
           length == sizeof(address) && address.sin_family == AF_INET &&
           address.sin_addr.s_addr == htonl(INADDR_LOOPBACK);
}

}  // namespace

int TakeListenSocket(uint16_t port) {
    // sd_listen_fds also marks the passed descriptors close-on-exec.
    const int count = sd_listen_fds(1);
    if (count < 0) {
        VORN_LOG_WARNING("Ignoring the sockets passed by the service manager: %d", count);
        return -1;
    }
    for (int fd = SD_LISTEN_FDS_START; fd < SD_LISTEN_FDS_START + count; ++fd) {
        if (sd_is_socket_inet(fd, AF_INET, SOCK_DGRAM, -1, port) > 0 && IsBoundToLoopback(fd)) {
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
