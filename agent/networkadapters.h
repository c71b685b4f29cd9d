// The machine's network adapters as the attribute collector sees them, and the
// source that lists them (the operating system, or a fixed list in tests).
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/vornstatus.h"

namespace vorn {

struct UnicastAddress {
    sockaddr_storage m_address{};  // AF_INET or AF_INET6 (other families are ignored)
    socklen_t m_length = 0;        // 0: no socket address
    uint8_t m_prefixLength = 0;    // on-link prefix length
};

struct NetworkAdapter {
    bool m_bHasDescription = false;
    std::string m_strDescription;                  // UTF-8
    std::vector<unsigned char> m_physicalAddress;  // empty: no hardware address
    bool m_bLoopback = false;
    bool m_bUp = false;                       // operational state is up
    std::vector<UnicastAddress> m_addresses;  // in the platform's order
};

class INetworkAdapterSource {
public:
    virtual ~INetworkAdapterSource() = default;
    // Replaces 'adapters' with the machine's adapters in the platform's order.
    // VORN_FAILED (reason logged) when they cannot be listed.
    virtual VORN_STATUS GetAdapters(std::vector<NetworkAdapter>& adapters) = 0;
};

// Replaces 'text' with every byte as two lower-case hexadecimal digits, joined
// by '-' ("00-1a-2b-3c-4d-5e"). Leaves 'text' untouched for a null address.
void FormatMACAddress(const unsigned char* address, unsigned length, std::string& text);

// Numeric text of a socket address, with any IPv6 zone suffix ("%eth0") as the
// platform writes it. False when the address cannot be written.
bool AddressToString(const UnicastAddress& address, std::string& text);

}  // namespace vorn
