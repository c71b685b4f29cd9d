// A raw loopback UDP client for the IPC tests: what a local client process
// does, without any of the code under test.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
        if (::sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&peer),
                     sizeof(peer)) != static_cast<ssize_t>(bytes.size())) {
            return false;
        }
        m_peer = port;
        return true;
    }

    // The next datagram, or nullopt when none arrives within 'timeout'. Once
    // this client has sent, only datagrams from 127.0.0.1 at the port it last
    // sent to count, as for a real client's connected socket: others are
    // dropped and counted. They do happen while other tests run: an answer
    // sent late to a socket that has since closed lands on whichever socket
    // took its ephemeral port next.
    std::optional<std::string> Receive(std::chrono::milliseconds timeout) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::vector<char> buffer(65536);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd entry{m_fd, POLLIN, 0};
            if (::poll(&entry, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) != 1) {
                return std::nullopt;
            }
            sockaddr_in from{};
            socklen_t length = sizeof(from);
            const ssize_t received = ::recvfrom(m_fd, buffer.data(), buffer.size(), 0,
                                                reinterpret_cast<sockaddr*>(&from), &length);
            if (received < 0) {
                return std::nullopt;
            }
            if (m_peer != 0 && (from.sin_addr.s_addr != htonl(INADDR_LOOPBACK) ||
                                ntohs(from.sin_port) != m_peer)) {
                ++m_strays;
                continue;
            }
            return std::string(buffer.data(), static_cast<size_t>(received));
        }
    }

    // Datagrams Receive dropped because they came from elsewhere.
    int strays() const { return m_strays; }

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
    // Where the last request went (0: nowhere yet), and datagrams from
    // elsewhere that Receive dropped. Mutable: sending and receiving are
    // const, as on the socket they stand for.
    mutable unsigned short m_peer = 0;
    mutable int m_strays = 0;
};

}  // namespace vorn::test
