// A hostile local user's UDP tools, for the local attack tests. Run as an
// unprivileged user (runuser -u nobody) when the tests run as root.
//
//   udppeer answer PORT HEX                 bind 127.0.0.1:PORT, print "bound", answer
//                                           every datagram with the bytes HEX
//   udppeer bind PORT [reuse]               exit 0 when 127.0.0.1:PORT can be bound
//                                           (with SO_REUSEADDR when "reuse" is given),
//                                           3 when it is in use
//   udppeer send FROM_ADDR FROM_PORT PORT HEX
//                                           send HEX from FROM_ADDR:FROM_PORT to
//                                           127.0.0.1:PORT; exit 0 when anything comes
//                                           back within a second, 1 otherwise
//   udppeer flood PORT COUNT HEX WAIT       send COUNT datagrams of HEX from one socket
//                                           to 127.0.0.1:PORT, print "sent COUNT", then
//                                           count answers until WAIT seconds pass
//                                           (or 2 s pass without one after the first)
//                                           and print "answers N"
//   udppeer spoof PORT HEX SECONDS          bind 127.0.0.2:PORT (no conflict with the
//                                           agent on 127.0.0.1:PORT), print "bound", and
//                                           for SECONDS send HEX, with the source address
//                                           127.0.0.1:PORT, to every socket that
//                                           /proc/net/udp shows connected to
//                                           127.0.0.1:PORT; print "forged N"
//   udppeer unixanswer PATH HEX             listen on a Unix sequential-packet socket at
//                                           PATH, print "bound", answer every packet of
//                                           every client with the bytes HEX
//   udppeer ports FIRST COUNT PORT          send one refresh request to 127.0.0.1:PORT from
//                                           each of the COUNT ports from FIRST on (one
//                                           socket each, closed at once); print "sent N"
//   udppeer hammer PORT SECONDS             from one socket, ask for a refresh, wait for
//                                           the answer (at most 5 s), ask again, for
//                                           SECONDS; print "answers N"
//
// The flood keeps the receiver's queue (from /proc/net/udp) well under its
// buffer, so the datagrams reach the program under test instead of
// being dropped by the kernel.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

sockaddr_in Address(const char* text, unsigned port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, text, &address.sin_addr) != 1) {
        fprintf(stderr, "udppeer: bad address %s\n", text);
        exit(64);
    }
    return address;
}

std::string Bytes(const char* hex) {
    std::string bytes;
    for (size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    }
    return bytes;
}

int BoundSocket(const sockaddr_in& address, bool reuseAddress = false) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd >= 0 && reuseAddress) {
        (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    }
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return -1;
    }
    return fd;
}

// Bound to 'local' and connected to 'target', as a real client's socket is:
// the kernel then delivers only datagrams from 'target', so a late answer
// meant for whoever held this ephemeral port before is never counted.
int ClientSocket(const sockaddr_in& local, const sockaddr_in& target) {
    const int fd = BoundSocket(local);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Bytes queued for the socket bound to 127.0.0.1:port, or -1.
long QueuedFor(unsigned port) {
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);
    char wanted[32];
    snprintf(wanted, sizeof(wanted), "0100007F:%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        if (fields >> slot >> local >> remote >> state >> queues && local == wanted) {
            return std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
        }
    }
    return -1;
}

int Answer(unsigned port, const std::string& bytes) {
    const int fd = BoundSocket(Address("127.0.0.1", port));
    if (fd < 0) {
        perror("udppeer: bind");
        return 3;
    }
    printf("bound\n");
    fflush(stdout);
    for (;;) {
        char buffer[4096];
        sockaddr_in peer{};
        socklen_t length = sizeof(peer);
        if (recvfrom(fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&peer), &length) >=
            0) {
            (void)sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&peer),
                         length);
        }
    }
}

bool AnswerWithin(int fd, int ms) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, ms) != 1) {
        return false;
    }
    char buffer[64];
    return recv(fd, buffer, sizeof(buffer), 0) >= 0;
}

int Flood(unsigned port, long count, const std::string& bytes, int waitSeconds) {
    const sockaddr_in target = Address("127.0.0.1", port);
    const int fd = ClientSocket(Address("127.0.0.1", 0), target);
    if (fd < 0) {
        perror("udppeer: bind/connect");
        return 2;
    }
    // Below the smallest receive buffer a socket gets by default (208 KiB),
    // with room for the datagrams sent between two looks.
    constexpr long kQueueLimit = 64 * 1024;
    const bool paced = QueuedFor(port) >= 0;
    long sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (sent < count && std::chrono::steady_clock::now() < deadline) {
        if (sent % 64 == 0 && paced) {
            // Bounded: gives up pacing after a second of a full queue.
            for (int i = 0; i < 1000 && QueuedFor(port) > kQueueLimit; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        if (sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&target),
                   sizeof(target)) == static_cast<ssize_t>(bytes.size())) {
            ++sent;
        } else if (errno != EAGAIN && errno != ENOBUFS && errno != ECONNREFUSED) {
            perror("udppeer: sendto");
            return 2;
        }
    }
    printf("sent %ld\n", sent);
    fflush(stdout);
    long answers = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
    while (std::chrono::steady_clock::now() < end) {
        if (AnswerWithin(fd, answers == 0 ? 100 : 2000)) {
            ++answers;
        } else if (answers > 0) {
            break;
        }
    }
    printf("answers %ld\n", answers);
    return 0;
}

// Local ports of the sockets connected to 127.0.0.1:port.
std::vector<unsigned> ClientsOf(unsigned port) {
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);
    char wanted[32];
    snprintf(wanted, sizeof(wanted), "0100007F:%04X", port);
    std::vector<unsigned> clients;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote;
        if (fields >> slot >> local >> remote && remote == wanted &&
            local.rfind("0100007F:", 0) == 0) {
            clients.push_back(static_cast<unsigned>(std::stoul(local.substr(9), nullptr, 16)));
        }
    }
    return clients;
}

// The answer a client connected to the agent accepts is one from
// 127.0.0.1:port: sent from a socket on 127.0.0.2:port with IP_PKTINFO
// naming 127.0.0.1 as the source, it is one.
int Spoof(unsigned port, const std::string& bytes, int seconds) {
    const int fd = BoundSocket(Address("127.0.0.2", port));
    if (fd < 0) {
        perror("udppeer: bind");
        return 3;
    }
    printf("bound\n");
    fflush(stdout);
    long forged = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        for (const unsigned client : ClientsOf(port)) {
            sockaddr_in target = Address("127.0.0.1", client);
            iovec data{const_cast<char*>(bytes.data()), bytes.size()};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
            msghdr message{};
            message.msg_name = &target;
            message.msg_namelen = sizeof target;
            message.msg_iov = &data;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr* header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = IPPROTO_IP;
            header->cmsg_type = IP_PKTINFO;
            header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
            in_pktinfo info{};
            info.ipi_spec_dst.s_addr = htonl(INADDR_LOOPBACK);
            memcpy(CMSG_DATA(header), &info, sizeof info);
            if (sendmsg(fd, &message, 0) == static_cast<ssize_t>(bytes.size())) {
                ++forged;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    printf("forged %ld\n", forged);
    return 0;
}

int UnixAnswer(const char* path, const std::string& bytes) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path, sizeof(address.sun_path) - 1);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd, 16) != 0) {
        perror("udppeer: bind");
        return 3;
    }
    printf("bound\n");
    fflush(stdout);
    for (;;) {
        const int client = accept(fd, nullptr, nullptr);
        if (client < 0) {
            continue;
        }
        char buffer[4096];
        while (recv(client, buffer, sizeof(buffer), 0) > 0) {
            (void)send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        }
        close(client);
    }
}

int Ports(unsigned first, unsigned count, unsigned port) {
    const sockaddr_in target = Address("127.0.0.1", port);
    const unsigned char request[2] = {1, 0};
    long sent = 0;
    for (unsigned local = first; local < first + count && local <= 65535; ++local) {
        if (local == port) {
            continue;
        }
        const int fd = BoundSocket(Address("127.0.0.1", local));
        if (fd < 0) {
            continue;  // in use by someone else
        }
        if (sendto(fd, request, sizeof(request), 0, reinterpret_cast<const sockaddr*>(&target),
                   sizeof(target)) == static_cast<ssize_t>(sizeof(request))) {
            ++sent;
        }
        close(fd);
        // Bounded pacing, so the agent's receive queue keeps up.
        if (sent % 256 == 0) {
            for (int i = 0; i < 1000 && QueuedFor(port) > 64 * 1024; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }
    printf("sent %ld\n", sent);
    return 0;
}

int Hammer(unsigned port, int seconds) {
    const sockaddr_in target = Address("127.0.0.1", port);
    const int fd = ClientSocket(Address("127.0.0.1", 0), target);
    if (fd < 0) {
        perror("udppeer: bind/connect");
        return 2;
    }
    const unsigned char request[2] = {1, 0};
    long answers = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (sendto(fd, request, sizeof(request), 0, reinterpret_cast<const sockaddr*>(&target),
                   sizeof(target)) != static_cast<ssize_t>(sizeof(request))) {
            perror("udppeer: sendto");
            return 2;
        }
        if (AnswerWithin(fd, 5000)) {
            ++answers;
        }
    }
    printf("answers %ld\n", answers);
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "answer" && argc == 4) {
        return Answer(static_cast<unsigned>(atoi(argv[2])), Bytes(argv[3]));
    }
    if (mode == "bind" && (argc == 3 || (argc == 4 && strcmp(argv[3], "reuse") == 0))) {
        const int fd =
            BoundSocket(Address("127.0.0.1", static_cast<unsigned>(atoi(argv[2]))), argc == 4);
        if (fd < 0) {
            const bool inUse = errno == EADDRINUSE;
            perror("udppeer: bind");
            return inUse ? 3 : 2;
        }
        return 0;
    }
    if (mode == "send" && argc == 6) {
        const sockaddr_in target = Address("127.0.0.1", static_cast<unsigned>(atoi(argv[4])));
        const int fd = ClientSocket(Address(argv[2], static_cast<unsigned>(atoi(argv[3]))), target);
        if (fd < 0) {
            perror("udppeer: bind/connect");
            return 2;
        }
        const std::string bytes = Bytes(argv[5]);
        if (sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&target),
                   sizeof(target)) != static_cast<ssize_t>(bytes.size())) {
            perror("udppeer: sendto");
            return 2;
        }
        return AnswerWithin(fd, 1000) ? 0 : 1;
    }
    if (mode == "flood" && argc == 6) {
        return Flood(static_cast<unsigned>(atoi(argv[2])), atol(argv[3]), Bytes(argv[4]),
                     atoi(argv[5]));
    }
    if (mode == "unixanswer" && argc == 4) {
        return UnixAnswer(argv[2], Bytes(argv[3]));
    }
    if (mode == "spoof" && argc == 5) {
        return Spoof(static_cast<unsigned>(atoi(argv[2])), Bytes(argv[3]), atoi(argv[4]));
    }
    if (mode == "ports" && argc == 5) {
        return Ports(static_cast<unsigned>(atoi(argv[2])), static_cast<unsigned>(atoi(argv[3])),
                     static_cast<unsigned>(atoi(argv[4])));
    }
    if (mode == "hammer" && argc == 4) {
        return Hammer(static_cast<unsigned>(atoi(argv[2])), atoi(argv[3]));
    }
    fprintf(stderr, "usage: see the comment at the top of udppeer.cpp\n");
    return 64;
}
