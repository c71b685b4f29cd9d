// A raw loopback UDP client for the IPC tests: what a local client process
// does, without any of the code under test.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vorn::test {

class UdpClient {
public:
    // Bound to 'address' (host byte order; 127.0.0.1 unless told) at 'port'
    // (0: one the kernel picks).
    explicit UdpClient(uint32_t address = INADDR_LOOPBACK, unsigned short port = 0) {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0) {
            throw std::runtime_error("socket failed");
        }
        sockaddr_in local = Loopback(port);
        local.sin_addr.s_addr = htonl(address);
        socklen_t length = sizeof(local);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
            ::close(m_fd);
            throw std::runtime_error("bind failed");
        }
        m_port = ntohs(local.sin_port);
    }
    ~UdpClient() { ::close(m_fd); }
    UdpClient(const UdpClient&) = delete;
    UdpClient& operator=(const UdpClient&) = delete;

    unsigned short port() const { return m_port; }

    bool SendTo(unsigned short port, const std::string& bytes) const {
        const sockaddr_in peer = Loopback(port);
        return ::sendto(m_fd, bytes.data(), bytes.size(), 0,
                        reinterpret_cast<const sockaddr*>(&peer),
                        sizeof(peer)) == static_cast<ssize_t>(bytes.size());
    }

    // The next datagram, or nullopt when none arrives within 'timeout'.
    std::optional<std::string> Receive(std::chrono::milliseconds timeout) const {
        pollfd entry{m_fd, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(timeout.count())) != 1) {
            return std::nullopt;
        }
        std::vector<char> buffer(65536);
        const ssize_t received = ::recv(m_fd, buffer.data(), buffer.size(), 0);
        if (received < 0) {
            return std::nullopt;
        }
        return std::string(buffer.data(), static_cast<size_t>(received));
    }

private:
    static sockaddr_in Loopback(unsigned short port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        return address;
    }

    int m_fd = -1;
    unsigned short m_port = 0;
};

}  // namespace vorn::test
