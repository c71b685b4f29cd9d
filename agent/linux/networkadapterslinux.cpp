#include "agent/linux/networkadapterslinux.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <unordered_map>

#include "agent/linux/wmiproviders.h"
#include "common/vornlogger.h"

namespace vorn {

uint8_t PrefixLength(const unsigned char* mask, size_t bytes) {
    uint8_t length = 0;
    for (size_t i = 0; i < bytes; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            if ((mask[i] & (1u << bit)) == 0) {
                return length;
            }
            ++length;
        }
    }
    return length;
}

bool IsOperationallyUp(const std::string& operstate, bool running) {
    return operstate == "up" || (operstate == "unknown" && running);
}

CNetworkAdapterSourceLinux::CNetworkAdapterSourceLinux(std::string sysRoot)
    : m_strRoot(std::move(sysRoot)) {}

VORN_STATUS CNetworkAdapterSourceLinux::GetAdapters(std::vector<NetworkAdapter>& adapters) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        VORN_LOG_ERRNO(CVORNLogger::kError, "getifaddrs failed");
        return VORN_FAILED;
    }
    adapters = AdaptersFromInterfaces(list, m_strRoot);
    freeifaddrs(list);
    return VORN_OK;
}

namespace {
// The kernel's number for GRE over IPv6, which glibc's <net/if_arp.h> lacks.
constexpr unsigned short kArpHardwareIp6Gre = 823;
}  // namespace

std::vector<unsigned char> LinkLayerAddress(const sockaddr* link) {
    // getifaddrs() allocates its link-layer entries with an address field of
    // 24 bytes, larger than sockaddr_ll's 8, so that long addresses fit.
    constexpr size_t kMaxAddressBytes = 24;
    const auto* ll = reinterpret_cast<const sockaddr_ll*>(link);
    switch (ll->sll_hatype) {
        case ARPHRD_TUNNEL:
        case ARPHRD_TUNNEL6:
        case ARPHRD_SIT:
        case ARPHRD_IPGRE:
        case kArpHardwareIp6Gre:
        case ARPHRD_NONE:
        case ARPHRD_VOID:
            return {};
        default:
            break;
    }
    const size_t length = std::min<size_t>(ll->sll_halen, kMaxAddressBytes);
    const auto* bytes =
        reinterpret_cast<const unsigned char*>(link) + offsetof(sockaddr_ll, sll_addr);
    // An all-zero address (the fallback devices gretap0 and erspan0 that
    // ip_gre creates, for one) is the same on every machine: no identity.
    if (std::all_of(bytes, bytes + length, [](unsigned char b) { return b == 0; })) {
        return {};
    }
    return std::vector<unsigned char>(bytes, bytes + length);
}

std::vector<NetworkAdapter> AdaptersFromInterfaces(const ifaddrs* list,
                                                   const std::string& sysRoot) {
    std::vector<NetworkAdapter> adapters;
    std::unordered_map<std::string, size_t> indexByName;
    std::vector<bool> running;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr) {
            continue;
        }
        const std::string name = entry->ifa_name;
        auto found = indexByName.find(name);
        if (found == indexByName.end()) {
            found = indexByName.emplace(name, adapters.size()).first;
            NetworkAdapter adapter;
            adapter.m_bHasDescription = true;
            adapter.m_strDescription = name;
            adapters.push_back(std::move(adapter));
            running.push_back(false);
        }
        NetworkAdapter& adapter = adapters[found->second];
        adapter.m_bLoopback = adapter.m_bLoopback || (entry->ifa_flags & IFF_LOOPBACK) != 0;
        running[found->second] = (entry->ifa_flags & IFF_RUNNING) != 0;
        if (entry->ifa_addr == nullptr) {
            continue;
        }
        const int family = entry->ifa_addr->sa_family;
        if (family == AF_PACKET) {
            adapter.m_physicalAddress = LinkLayerAddress(entry->ifa_addr);
        } else if (family == AF_INET || family == AF_INET6) {
            UnicastAddress address;
            address.m_length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
            memcpy(&address.m_address, entry->ifa_addr, address.m_length);
            if (entry->ifa_netmask != nullptr && family == AF_INET) {
                const auto* mask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask);
                address.m_prefixLength = PrefixLength(
                    reinterpret_cast<const unsigned char*>(&mask->sin_addr), sizeof(in_addr));
            } else if (entry->ifa_netmask != nullptr) {
                const auto* mask = reinterpret_cast<const sockaddr_in6*>(entry->ifa_netmask);
                address.m_prefixLength = PrefixLength(mask->sin6_addr.s6_addr, sizeof(in6_addr));
            }
            adapter.m_addresses.push_back(address);
        }
    }

    for (size_t index = 0; index < adapters.size(); ++index) {
        std::string operstate;
        if (ReadSysFile(sysRoot, "sys/class/net/" + adapters[index].m_strDescription + "/operstate",
                        operstate) != eSysFileResult::Read) {
            operstate = "unknown";
        }
        adapters[index].m_bUp = IsOperationallyUp(operstate, running[index]);
    }
    return adapters;
}

}  // namespace vorn
