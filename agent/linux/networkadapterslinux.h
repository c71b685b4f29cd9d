// The running machine's adapters from getifaddrs(): hardware addresses from the
// AF_PACKET entries, unicast addresses with prefix lengths from their netmasks,
// the operational state from sys/class/net/<if>/operstate.
#pragma once

#include <ifaddrs.h>

#include <string>
#include <vector>

#include "agent/networkadapters.h"

namespace vorn {

class CNetworkAdapterSourceLinux : public INetworkAdapterSource {
public:
    // 'sysRoot' locates sys/class/net ("/" for the running machine).
    explicit CNetworkAdapterSourceLinux(std::string sysRoot = "/");
    VORN_STATUS GetAdapters(std::vector<NetworkAdapter>& adapters) override;

private:
    std::string m_strRoot;
};

// The adapters of an interface list as getifaddrs() returns it, in the order
// the interfaces first appear. Tunnels (IPIP, SIT, GRE, IPv6 tunnels: their
// "hardware address" is an IP endpoint) and interfaces without a link layer
// get no hardware address. Operational states come from
// sysRoot/sys/class/net/<if>/operstate.
std::vector<NetworkAdapter> AdaptersFromInterfaces(const ifaddrs* list, const std::string& sysRoot);

// The hardware address bytes of a link-layer entry: as many as the kernel
// reports, up to what glibc's getifaddrs() stores (24 bytes, room for an
// InfiniBand address of 20). Empty for the address-less link types above
// and for an all-zero address, which names no adapter.
std::vector<unsigned char> LinkLayerAddress(const sockaddr* link);

// Leading one bits of a netmask ("255.255.255.0" gives 24).
uint8_t PrefixLength(const unsigned char* mask, size_t bytes);

// RFC 2863 "up"; "unknown" (drivers that do not track it: dummy, some tunnels)
// counts as up when the interface is running.
bool IsOperationallyUp(const std::string& operstate, bool running);

}  // namespace vorn
