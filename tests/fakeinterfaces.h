// An interface list laid out as getifaddrs() returns it (link-layer entries
// with glibc's 24-byte address field, then one entry per unicast address), so
// that the Linux adapter source can be run on interfaces this host does not
// have: InfiniBand, tunnels, hundreds of VLANs.
#pragma once

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "agent/linux/networkadapterslinux.h"

namespace vorn::test {

struct FakeInterface {
    std::string m_strName;
    unsigned short m_hatype = ARPHRD_ETHER;
    std::vector<unsigned char> m_hardware;                 // as the kernel reports it
    unsigned m_flags = IFF_UP | IFF_RUNNING;               // IFF_LOOPBACK for lo
    std::vector<std::pair<std::string, int>> m_addresses;  // "10.0.0.1", prefix
};

class FakeInterfaceList {
public:
    explicit FakeInterfaceList(const std::vector<FakeInterface>& interfaces) {
        for (const FakeInterface& interface : interfaces) {
            Entry& link = add(interface);
            LinkAddress& ll = m_links.emplace_back();
            ll.m_sll.sll_family = AF_PACKET;
            ll.m_sll.sll_hatype = interface.m_hatype;
            ll.m_sll.sll_halen = static_cast<unsigned char>(interface.m_hardware.size());
            std::copy_n(interface.m_hardware.begin(),
                        std::min<size_t>(interface.m_hardware.size(), 24),
                        reinterpret_cast<unsigned char*>(&ll) + offsetof(sockaddr_ll, sll_addr));
            link.m_ifa.ifa_addr = reinterpret_cast<sockaddr*>(&ll.m_sll);
            for (const auto& [text, prefix] : interface.m_addresses) {
                Entry& entry = add(interface);
                if (text.find(':') == std::string::npos) {
                    auto* in = reinterpret_cast<sockaddr_in*>(&entry.m_address);
                    auto* mask = reinterpret_cast<sockaddr_in*>(&entry.m_mask);
                    in->sin_family = mask->sin_family = AF_INET;
                    inet_pton(AF_INET, text.c_str(), &in->sin_addr);
                    mask->sin_addr.s_addr = prefix == 0 ? 0 : htonl(~uint32_t{0} << (32 - prefix));
                } else {
                    auto* in6 = reinterpret_cast<sockaddr_in6*>(&entry.m_address);
                    auto* mask = reinterpret_cast<sockaddr_in6*>(&entry.m_mask);
                    in6->sin6_family = mask->sin6_family = AF_INET6;
                    inet_pton(AF_INET6, text.c_str(), &in6->sin6_addr);
                    for (int bit = 0; bit < prefix; ++bit) {
                        mask->sin6_addr.s6_addr[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
                    }
                }
                entry.m_ifa.ifa_addr = reinterpret_cast<sockaddr*>(&entry.m_address);
                entry.m_ifa.ifa_netmask = reinterpret_cast<sockaddr*>(&entry.m_mask);
            }
        }
        for (size_t i = 0; i + 1 < m_entries.size(); ++i) {
            m_entries[i].m_ifa.ifa_next = &m_entries[i + 1].m_ifa;
        }
    }
    FakeInterfaceList(const FakeInterfaceList&) = delete;
    FakeInterfaceList& operator=(const FakeInterfaceList&) = delete;

    const ifaddrs* Head() const { return m_entries.empty() ? nullptr : &m_entries.front().m_ifa; }

private:
    struct Entry {
        ifaddrs m_ifa{};
        std::string m_strName;
        sockaddr_storage m_address{};
        sockaddr_storage m_mask{};
    };
    // sockaddr_ll followed by the room glibc gives long hardware addresses.
    struct LinkAddress {
        sockaddr_ll m_sll{};
        unsigned char m_tail[16] = {};
    };

    Entry& add(const FakeInterface& interface) {
        Entry& entry = m_entries.emplace_back();
        entry.m_strName = interface.m_strName;
        entry.m_ifa.ifa_name = entry.m_strName.data();
        entry.m_ifa.ifa_flags = interface.m_flags;
        return entry;
    }

    std::deque<Entry> m_entries;  // stable addresses: the list links into it
    std::deque<LinkAddress> m_links;
};

// The Linux adapter source over a fixed interface list, with operational
// states read under 'sysRoot'.
class FakeInterfaceSource : public INetworkAdapterSource {
public:
    FakeInterfaceSource(std::vector<FakeInterface> interfaces, std::string sysRoot)
        : m_interfaces(std::move(interfaces)), m_strRoot(std::move(sysRoot)) {}
    VORN_STATUS GetAdapters(std::vector<NetworkAdapter>& adapters) override {
        const FakeInterfaceList list(m_interfaces);
        adapters = AdaptersFromInterfaces(list.Head(), m_strRoot);
        return VORN_OK;
    }

private:
    std::vector<FakeInterface> m_interfaces;
    std::string m_strRoot;
};

}  // namespace vorn::test
