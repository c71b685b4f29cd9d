// Test helpers for attribute lists: a readable flat form, and fakes for the
// collector's host-name and adapter sources.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "agent/attribute.h"
#include "agent/linux/hostnamesource.h"
#include "agent/networkadapters.h"

namespace vorn::test {

// One line per attribute: indentation for nesting, the tag ("." when empty),
// the type number and the values ("a|b" for string arrays).
inline void FlattenInto(const std::list<CAttribute>& attributes, const std::string& indent,
                        std::vector<std::string>& lines) {
    for (const CAttribute& attribute : attributes) {
        std::string line = indent + (attribute.m_strTag.empty() ? "." : attribute.m_strTag) + " " +
                           std::to_string(attribute.m_eType);
        std::string values;
        for (const std::string& value : attribute.m_lstValues) {
            values += (values.empty() ? "" : "|") + value;
        }
        if (!attribute.m_lstValues.empty()) {
            line += " " + values;
        }
        lines.push_back(line);
        if (attribute.m_spChildren) {
            FlattenInto(*attribute.m_spChildren, indent + "  ", lines);
        }
    }
}

inline std::vector<std::string> Flatten(const std::list<CAttribute>& attributes) {
    std::vector<std::string> lines;
    FlattenInto(attributes, "", lines);
    return lines;
}

class FakeHostNames : public IHostNameSource {
public:
    FakeHostNames(std::string host, std::string canonical)
        : m_host(std::move(host)), m_canonical(std::move(canonical)) {}
    bool GetHostName(std::string& name) override {
        name = m_host;
        return !m_host.empty();
    }
    bool GetCanonicalName(const std::string&, std::string& canonical) override {
        canonical = m_canonical;
        return !m_canonical.empty();
    }

private:
    std::string m_host;
    std::string m_canonical;
};

class FakeAdapters : public INetworkAdapterSource {
public:
    explicit FakeAdapters(std::vector<NetworkAdapter> adapters, VORN_STATUS result = VORN_OK)
        : m_adapters(std::move(adapters)), m_result(result) {}
    VORN_STATUS GetAdapters(std::vector<NetworkAdapter>& adapters) override {
        if (m_result == VORN_OK) {
            adapters = m_adapters;
        }
        return m_result;
    }

private:
    std::vector<NetworkAdapter> m_adapters;
    VORN_STATUS m_result;
};

// "192.168.1.5" or "fe80::1" (with a scope id for IPv6) as a unicast address.
inline UnicastAddress Address(const std::string& text, uint8_t prefix, uint32_t scope = 0) {
    UnicastAddress address;
    address.m_prefixLength = prefix;
    if (text.find(':') == std::string::npos) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        inet_pton(AF_INET, text.c_str(), &in.sin_addr);
        memcpy(&address.m_address, &in, sizeof(in));
        address.m_length = sizeof(in);
    } else {
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        inet_pton(AF_INET6, text.c_str(), &in6.sin6_addr);
        in6.sin6_scope_id = scope;
        memcpy(&address.m_address, &in6, sizeof(in6));
        address.m_length = sizeof(in6);
    }
    return address;
}

inline NetworkAdapter Adapter(const std::string& name, std::vector<unsigned char> mac, bool up,
                              std::vector<UnicastAddress> addresses, bool loopback = false) {
    NetworkAdapter adapter;
    adapter.m_bHasDescription = !name.empty();
    adapter.m_strDescription = name;
    adapter.m_physicalAddress = std::move(mac);
    adapter.m_bUp = up;
    adapter.m_addresses = std::move(addresses);
    adapter.m_bLoopback = loopback;
    return adapter;
}

}  // namespace vorn::test
