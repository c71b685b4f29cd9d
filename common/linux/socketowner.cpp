#include "common/linux/socketowner.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "common/textescape.h"

namespace vorn {

namespace {

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// Whether a socket bound to this local address receives datagrams sent to
// 127.0.0.1. Addresses are in network byte order, as the kernel reports them.
bool ReceivesLoopbackV4(uint32_t address) {
    return address == htonl(INADDR_LOOPBACK) || address == htonl(INADDR_ANY);
}

bool ReceivesLoopbackV6(const uint32_t address[4]) {
    const bool v4Mapped = address[0] == 0 && address[1] == 0 && address[2] == htonl(0xFFFF);
    const bool wildcard = address[0] == 0 && address[1] == 0 && address[2] == 0 && address[3] == 0;
    return wildcard || (v4Mapped && ReceivesLoopbackV4(address[3]));
}

// Longest row of /proc/net/udp{,6} taken in (a row is some 130 bytes).
constexpr size_t kMaxProcRow = 1024;

// The first line of a small file, at most 'limit' bytes of it; "" when it
// cannot be read.
std::string ReadFirstLine(const std::string& path, size_t limit = 256) {
    Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        return "";
    }
    std::string text(limit, '\0');
    ssize_t received;
    do {
        received = ::read(file.get(), text.data(), text.size());
    } while (received < 0 && errno == EINTR);
    text.resize(received > 0 ? static_cast<size_t>(received) : 0);
    return text.substr(0, text.find('\n'));
}

enum class DumpResult { Done, Unsupported, Failed };

DumpResult DumpFamily(int family, uint16_t port, std::vector<UdpSocketOwner>& owners,
                      std::string& error) {
    Fd sock(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (sock.get() < 0) {
        if (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT || errno == EACCES ||
            errno == EPERM) {
            return DumpResult::Unsupported;
        }
        error = std::string("netlink socket: ") + strerror(errno);
        return DumpResult::Failed;
    }
    // The kernel answers a dump at once; the limit only guards against a
    // reply that never comes.
    timeval limit{2, 0};
    (void)::setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));

    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = static_cast<uint8_t>(family);
    message.request.sdiag_protocol = IPPROTO_UDP;
    message.request.idiag_states = ~0U;
    message.request.id.idiag_sport = htons(port);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(sock.get(), &message, sizeof(message), 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof(kernel)) != static_cast<ssize_t>(sizeof(message))) {
        error = std::string("netlink request: ") + strerror(errno);
        return DumpResult::Failed;
    }

    alignas(nlmsghdr) char buffer[32768];
    for (;;) {
        const ssize_t received = ::recv(sock.get(), buffer, sizeof(buffer), 0);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = std::string("netlink reply: ") + strerror(errno);
            return DumpResult::Failed;
        }
        if (received == 0) {
            error = "netlink reply: connection closed";
            return DumpResult::Failed;
        }
        int length = static_cast<int>(received);
// The kernel's NLMSG_OK compares its unsigned length field with the int
// count it is given; clang reports that inside the macro, gcc does not.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, length);
             header = NLMSG_NEXT(header, length)) {
#pragma GCC diagnostic pop
            if (header->nlmsg_type == NLMSG_DONE) {
                return DumpResult::Done;
            }
            if (header->nlmsg_type == NLMSG_ERROR) {
                const auto* failure = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
                // A kernel without UDP diagnostics for this family.
                if (failure->error == -ENOENT || failure->error == -EOPNOTSUPP) {
                    return DumpResult::Unsupported;
                }
                error = std::string("netlink: ") + strerror(-failure->error);
                return DumpResult::Failed;
            }
            if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                continue;
            }
            const auto* socketInfo = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
            if (ntohs(socketInfo->id.idiag_sport) != port) {
                continue;
            }
            const bool receives = socketInfo->idiag_family == AF_INET
                                      ? ReceivesLoopbackV4(socketInfo->id.idiag_src[0])
                                      : ReceivesLoopbackV6(socketInfo->id.idiag_src);
            if (receives) {
                owners.push_back(UdpSocketOwner{socketInfo->idiag_uid, socketInfo->idiag_inode});
            }
        }
    }
}

uint32_t HexWord(const std::string& text) {
    return static_cast<uint32_t>(std::stoul(text, nullptr, 16));
}

// Splits 'line' at blanks into at most 'count' fields; false when it has
// fewer.
bool SplitFields(std::string_view line, std::string_view* fields, size_t count) {
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        at = line.find_first_not_of(" \t", at);
        if (at == std::string_view::npos) {
            return false;
        }
        const size_t end = std::min(line.find_first_of(" \t", at), line.size());
        fields[i] = line.substr(at, end - at);
        at = end;
    }
    return true;
}

// One row of the table: "sl local_address rem_address st tx_queue:rx_queue
// tr:when retrnsmt uid timeout inode ...", addresses as the hex of the
// kernel's 32-bit words.
void ParseProcRow(std::string_view line, bool v6, uint16_t port,
                  std::vector<UdpSocketOwner>& owners) {
    enum { kLocal = 1, kUid = 7, kInode = 9, kFields = 10 };
    std::string_view fields[kFields];
    if (!SplitFields(line, fields, kFields)) {
        return;
    }
    const std::string local(fields[kLocal]);
    const size_t colon = local.find(':');
    if (colon == std::string::npos || HexWord(local.substr(colon + 1)) != port) {
        return;
    }
    const std::string address = local.substr(0, colon);
    bool receives = false;
    if (!v6 && address.size() == 8) {
        receives = ReceivesLoopbackV4(HexWord(address));
    } else if (v6 && address.size() == 32) {
        uint32_t words[4];
        for (int i = 0; i < 4; ++i) {
            words[i] = HexWord(address.substr(static_cast<size_t>(i) * 8, 8));
        }
        receives = ReceivesLoopbackV6(words);
    }
    if (receives) {
        owners.push_back(UdpSocketOwner{static_cast<uid_t>(std::stoul(std::string(fields[kUid]))),
                                        std::stoull(std::string(fields[kInode]))});
    }
}

}  // namespace

bool ReadProcUdpTable(const char* path, bool v6, uint16_t port,
                      std::vector<UdpSocketOwner>& owners) {
    Fd table(::open(path, O_RDONLY | O_CLOEXEC));
    if (table.get() < 0) {
        return false;
    }
    // The table is read a block at a time, never whole: a machine with many
    // sockets has a long one. A row longer than any the kernel writes is
    // skipped.
    char buffer[8192];
    std::string line;
    bool header = true;
    bool overlong = false;
    auto endLine = [&] {
        if (!header && !overlong) {
            ParseProcRow(line, v6, port, owners);
        }
        header = false;
        overlong = false;
        line.clear();
    };
    for (;;) {
        const ssize_t received = ::read(table.get(), buffer, sizeof(buffer));
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (received == 0) {
            break;
        }
        for (const char c : std::string_view(buffer, static_cast<size_t>(received))) {
            if (c == '\n') {
                endLine();
            } else if (line.size() < kMaxProcRow) {
                line += c;
            } else {
                overlong = true;
            }
        }
    }
    if (!line.empty()) {
        endLine();
    }
    return true;
}

bool FindUdpSocketOwners(uint16_t port, std::vector<UdpSocketOwner>& owners, std::string& error) {
    owners.clear();
    const struct {
        int family;
        const char* table;
    } families[] = {{AF_INET, "/proc/net/udp"}, {AF_INET6, "/proc/net/udp6"}};
    for (const auto& family : families) {
        switch (DumpFamily(family.family, port, owners, error)) {
            case DumpResult::Done:
                break;
            case DumpResult::Failed:
                return false;
            case DumpResult::Unsupported:
                try {
                    // No IPv6 table means no IPv6 socket to worry about.
                    if (!ReadProcUdpTable(family.table, family.family == AF_INET6, port, owners) &&
                        family.family == AF_INET) {
                        error = std::string("cannot read ") + family.table;
                        return false;
                    }
                } catch (const std::exception& e) {
                    error = std::string("cannot parse ") + family.table + ": " + e.what();
                    return false;
                }
                break;
        }
    }
    return true;
}

std::string DescribeSocketHolder(uint64_t inode) {
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return "";
    }
    std::string found;
    while (found.empty()) {
        const dirent* process = ::readdir(proc);
        if (process == nullptr) {
            break;
        }
        const std::string pid = process->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const std::string fdDirectory = "/proc/" + pid + "/fd";
        DIR* fds = ::opendir(fdDirectory.c_str());
        if (fds == nullptr) {
            continue;
        }
        while (const dirent* fd = ::readdir(fds)) {
            char target[64];
            const std::string link = fdDirectory + "/" + fd->d_name;
            const ssize_t length = ::readlink(link.c_str(), target, sizeof(target) - 1);
            if (length > 0 && std::string(target, static_cast<size_t>(length)) == wanted) {
                const std::string name = ReadFirstLine("/proc/" + pid + "/comm");
                // The process chose its own name.
                found = EscapeUntrusted(name, 64) + " (pid " + pid + ")";
                break;
            }
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    return found;
}

}  // namespace vorn
