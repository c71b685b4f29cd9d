// The running machine's adapters from getifaddrs(): hardware addresses from the
// AF_PACKET entries, unicast addresses with prefix lengths from their netmasks,
// the operational state from sys/class/net/<if>/operstate.
#pragma once

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

// Leading one bits of a netmask ("255.255.255.0" gives 24).
uint8_t PrefixLength(const unsigned char* mask, size_t bytes);

// RFC 2863 "up"; "unknown" (drivers that do not track it: dummy, some tunnels)
// counts as up when the interface is running.
bool IsOperationallyUp(const std::string& operstate, bool running);

}  // namespace vorn
