// A raw client of the agent's Unix sequential-packet socket for the IPC
// tests: what a local client process does, without any of the code under test.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>

namespace vorn::test {

class LocalClient {
public:
    explicit LocalClient(const std::string& path) {
        m_fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        if (m_fd < 0 ||
            ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            if (m_fd >= 0) {
                ::close(m_fd);
            }
            throw std::runtime_error("cannot connect to " + path);
        }
    }
    ~LocalClient() { ::close(m_fd); }
    LocalClient(const LocalClient&) = delete;
    LocalClient& operator=(const LocalClient&) = delete;

    int fd() const { return m_fd; }

    bool Send(const std::string& bytes) const {
        return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }

    // The next packet within 'timeout'; nullopt on time-out, "" when the
    // agent closed the connection.
    std::optional<std::string> Receive(std::chrono::milliseconds timeout) const {
        pollfd entry{m_fd, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(timeout.count())) != 1) {
            return std::nullopt;
        }
        char buffer[64];
        const ssize_t n = ::recv(m_fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n < 0) {
            return std::string();
        }
        return std::string(buffer, static_cast<size_t>(n));
    }

private:
    int m_fd = -1;
};

}  // namespace vorn::test
