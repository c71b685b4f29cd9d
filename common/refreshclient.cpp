#include "common/refreshclient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/linux/socketowner.h"

namespace vorn {

namespace {

class Socket {
public:
    explicit Socket(int domain = AF_INET, int type = SOCK_DGRAM)
        : m_fd(socket(domain, type | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

RefreshResult Failure(const char* what) {
    RefreshResult result;
    result.kind = RefreshResult::Kind::SystemError;
    result.error = std::string(what) + ": " + strerror(errno);
    return result;
}

// Waits until 'timeout' has passed for the 4-byte answer on a connected
// socket, skipping anything else it receives. A refused or reset connection,
// or on a connection-oriented socket its end, means no agent answers.
RefreshResult AwaitAnswer(int fd, std::chrono::milliseconds timeout, bool connectionOriented) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return RefreshResult{RefreshResult::Kind::TimedOut, 0, ""};
        }
        pollfd pfd{fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Failure("poll");
        }
        if (ready == 0) {
            continue;
        }
        unsigned char answer[16];
        const ssize_t n = recv(fd, answer, sizeof answer, MSG_TRUNC);
        if (n == 0 && connectionOriented) {
            // The agent closed the connection (it stopped) before answering.
            return RefreshResult{RefreshResult::Kind::NoAgent, 0, ""};
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            if (errno == ECONNREFUSED || errno == ECONNRESET) {
                return RefreshResult{RefreshResult::Kind::NoAgent, 0, ""};
            }
            return Failure("recv");
        }
        if (n == 4 && answer[0] == 2 && answer[1] == 0) {
            RefreshResult result;
            result.kind = RefreshResult::Kind::Answered;
            result.outcome = static_cast<uint16_t>(answer[2] | (answer[3] << 8));
            return result;
        }
    }
}

}  // namespace

bool VerifyAgentSocket(uint16_t port, uid_t agentUid, RefreshResult& result) {
    const std::string where = "127.0.0.1:" + std::to_string(port);
    std::vector<UdpSocketOwner> owners;
    std::string error;
    if (!FindUdpSocketOwners(port, owners, error)) {
        result = RefreshResult{RefreshResult::Kind::Untrusted, 0,
                               "cannot tell who owns the socket on " + where + ": " + error, 0};
        return false;
    }
    if (owners.empty()) {
        // The answer came from a socket that is gone already: nothing
        // vouches for it.
        result =
            RefreshResult{RefreshResult::Kind::Untrusted, 0,
                          "no socket owns " + where + " any more; its answer is not believed", 0};
        return false;
    }
    for (const UdpSocketOwner& owner : owners) {
        if (owner.uid == 0 || owner.uid == agentUid) {
            continue;
        }
        std::string message =
            "the socket on " + where + " belongs to uid " + std::to_string(owner.uid);
        const std::string holder = DescribeSocketHolder(owner.inode);
        if (!holder.empty()) {
            message += ", process " + holder;
        }
        message += ", not to root";
        if (agentUid != 0) {
            message += " or uid " + std::to_string(agentUid);
        }
        message += ": it is not the agent, and its answer is not believed";
        result = RefreshResult{RefreshResult::Kind::Untrusted, 0, message, owner.uid};
        return false;
    }
    return true;
}

RefreshResult RequestRefresh(uint16_t port, std::chrono::milliseconds timeout, uid_t agentUid) {
    Socket sock;
    if (sock.fd() < 0) {
        return Failure("socket");
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(sock.fd(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        return Failure("bind");
    }
    // Connected, so only the agent's datagrams arrive and a closed port is
    // reported by the kernel instead of ending in a time-out.
    sockaddr_in agent{};
    agent.sin_family = AF_INET;
    agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    agent.sin_port = htons(port);
    if (connect(sock.fd(), reinterpret_cast<sockaddr*>(&agent), sizeof agent) != 0) {
        return Failure("connect");
    }
    const unsigned char request[2] = {1, 0};
    if (send(sock.fd(), request, sizeof request, 0) != static_cast<ssize_t>(sizeof request)) {
        if (errno == ECONNREFUSED) {
            return RefreshResult{RefreshResult::Kind::NoAgent, 0, ""};
        }
        return Failure("send");
    }

    const RefreshResult answered = AwaitAnswer(sock.fd(), timeout, false);
    // Checked after the answer, so a port taken over while the request was
    // on its way is caught too.
    RefreshResult refused;
    if (answered.kind == RefreshResult::Kind::Answered &&
        !VerifyAgentSocket(port, agentUid, refused)) {
        return refused;
    }
    return answered;
}

RefreshResult RequestRefreshLocal(const std::string& path, std::chrono::milliseconds timeout,
                                  uid_t agentUid) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        errno = ENAMETOOLONG;
        return Failure("socket path");
    }
    path.copy(address.sun_path, path.size());
    Socket sock(AF_UNIX, SOCK_SEQPACKET);
    if (sock.fd() < 0) {
        return Failure("socket");
    }
    if (connect(sock.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno == ENOENT || errno == ECONNREFUSED) {
            return RefreshResult{RefreshResult::Kind::NoAgent, 0, ""};
        }
        return Failure("connect");
    }
    // The kernel's record of who called listen() on the other end: nobody
    // can borrow it, so a socket planted by another user is known before
    // anything is sent to it.
    ucred agent{};
    socklen_t length = sizeof agent;
    if (getsockopt(sock.fd(), SOL_SOCKET, SO_PEERCRED, &agent, &length) != 0) {
        return Failure("SO_PEERCRED");
    }
    if (agent.uid != 0 && agent.uid != agentUid) {
        std::string message = "the socket " + path + " is served by uid " +
                              std::to_string(agent.uid) + " (pid " + std::to_string(agent.pid) +
                              "), not by root";
        if (agentUid != 0) {
            message += " or uid " + std::to_string(agentUid);
        }
        message += ": it is not the agent, and no request was sent";
        return RefreshResult{RefreshResult::Kind::Untrusted, 0, message, agent.uid};
    }
    const unsigned char request[2] = {1, 0};
    if (send(sock.fd(), request, sizeof request, MSG_NOSIGNAL) !=
        static_cast<ssize_t>(sizeof request)) {
        return Failure("send");
    }

    return AwaitAnswer(sock.fd(), timeout, true);
}

std::string RefreshOutcomeName(uint16_t outcome) {
    switch (outcome) {
        case 0:
            return "failed";
        case 1:
            return "success";
        case 2:
            return "comm-error";
        case 3:
            return "error-response";
        case 4:
            return "rate-limited";
        default:
            return "unknown(" + std::to_string(outcome) + ")";
    }
}

}  // namespace vorn
