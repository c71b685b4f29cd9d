// Who owns the local UDP socket that receives datagrams sent to a loopback
// port, asked of the kernel.
//
// A client that believed any answer from 127.0.0.1:60110 would believe
// whoever bound the port first: an unprivileged user who took it while the
// agent was down can answer "success" to everyone. Clients therefore check the
// owner of the socket before they trust what it said.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

struct UdpSocketOwner {
    uid_t uid = 0;
    uint64_t inode = 0;
};

// Every IPv4 or IPv6 UDP socket whose local port is 'port' and that would
// receive a datagram sent to 127.0.0.1 (bound to 127.0.0.1, to the wildcard
// address, or to ::ffff:127.0.0.1). Asks the kernel with a NETLINK_SOCK_DIAG
// dump; reads /proc/net/udp and /proc/net/udp6 only where that socket family
// is not available. False, with 'error' set, when neither works.
bool FindUdpSocketOwners(uint16_t port, std::vector<UdpSocketOwner>& owners, std::string& error);

enum class SockDiagReply {
    More,         // every message read; the dump goes on in the next reply
    Done,         // the dump's end was seen
    Unsupported,  // the kernel has no UDP diagnostics for this family
    Failed,       // the kernel reported an error; 'error' says which
};

// One reply of a NETLINK_SOCK_DIAG dump of UDP sockets, 'size' bytes at
// 'data' (any alignment): the sockets on local 'port' that FindUdpSocketOwners
// would report are appended to 'owners'. Messages of other types and ones too
// short for their type are skipped; a message whose length runs past the
// reply ends it.
SockDiagReply ParseSockDiagReply(const char* data, size_t size, uint16_t port,
                                 std::vector<UdpSocketOwner>& owners, std::string& error);

// The rows of a /proc/net/udp (or, with 'v6', /proc/net/udp6) table at
// 'path' that FindUdpSocketOwners would report, appended to 'owners'; what
// FindUdpSocketOwners reads where the netlink dump is not available. Rows with
// too few fields are skipped. False when the file cannot be opened or read;
// throws std::invalid_argument or std::out_of_range for a row whose numbers
// are not numbers.
bool ReadProcUdpTable(const char* path, bool v6, uint16_t port,
                      std::vector<UdpSocketOwner>& owners);

// "name (pid N)" of a process holding the socket with this inode, escaped for
// printing, or "" when none can be seen (other users' processes are visible
// to root only).
std::string DescribeSocketHolder(uint64_t inode);

}  // namespace vorn
