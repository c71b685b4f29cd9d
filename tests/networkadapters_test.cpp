// Adapters: the address text, the selection rules over injected adapter lists,
// and the getifaddrs source on the loopback interface.
#include <gtest/gtest.h>

#include "agent/linux/attributecollectorlinux.h"
#include "agent/linux/networkadapterslinux.h"
#include "tests/attribute_test_util.h"
#include "tests/fakeinterfaces.h"
#include "tests/support/testsupport.h"

namespace vorn::test {
namespace {

TEST(NetworkAdapters, FormatMACAddress) {
    const unsigned char six[] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    const unsigned char eight[] = {0xff, 0x0, 0x1, 0x2, 0x3, 0x4, 0x5, 0xa0};
    std::string text = "old";
    FormatMACAddress(six, 6, text);
    EXPECT_EQ(text, "00-1a-2b-3c-4d-5e");
    FormatMACAddress(eight, 8, text);
    EXPECT_EQ(text, "ff-00-01-02-03-04-05-a0");
    FormatMACAddress(nullptr, 6, text);
    EXPECT_EQ(text, "ff-00-01-02-03-04-05-a0");
}

TEST(NetworkAdapters, PrefixLengthAndOperationalState) {
    const unsigned char v4[] = {255, 255, 255, 0};
    const unsigned char odd[] = {255, 240, 0, 0};
    unsigned char v6[16] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    EXPECT_EQ(PrefixLength(v4, 4), 24);
    EXPECT_EQ(PrefixLength(odd, 4), 12);
    EXPECT_EQ(PrefixLength(v6, 16), 64);
    EXPECT_TRUE(IsOperationallyUp("up", false));
    EXPECT_TRUE(IsOperationallyUp("unknown", true));
    EXPECT_FALSE(IsOperationallyUp("unknown", false));
    EXPECT_FALSE(IsOperationallyUp("down", true));
    EXPECT_FALSE(IsOperationallyUp("dormant", true));
}

std::vector<std::string> AdapterLines(std::vector<NetworkAdapter> adapters,
                                      VORN_STATUS result = VORN_OK) {
    TempDir empty;  // no system: only the adapters are collected
    ScopedEnv env("VORN_REGISTRY_DIR", empty.path());
    CAttributeCollectorLinux collector(empty.path(),
                                       std::make_shared<FakeAdapters>(std::move(adapters), result),
                                       std::make_shared<FakeHostNames>("", ""));
    std::list<CAttribute> attributes;
    EXPECT_EQ(collector.GetAttributeList(attributes), VORN_OK);
    std::list<CAttribute> adapterAttributes;
    for (const CAttribute& attribute : attributes) {
        if (attribute.m_strTag == "adapters") {
            adapterAttributes.push_back(attribute);
        }
    }
    return Flatten(adapterAttributes);
}

TEST(NetworkAdapters, SelectionRules) {
    const std::vector<unsigned char> mac = {2, 0, 0, 0, 0, 1};
    const auto lines = AdapterLines({
        Adapter("lo", {0, 0, 0, 0, 0, 0}, true, {Address("127.0.0.1", 8)}, true),
        Adapter("tun0", {}, true, {Address("10.8.0.1", 24)}),
        Adapter("a", mac, true, {Address("169.254.10.20", 16)}),
        Adapter(
            "b", mac, false,
            {Address("169.254.10.20", 16), Address("192.168.1.5", 24), Address("192.168.1.6", 24)}),
        Adapter("c", mac, true,
                {Address("fe80::1", 64, 12), Address("10.0.0.2", 8), Address("10.0.0.3", 8),
                 Address("2001:db8::5", 64), UnicastAddress{}}),
        Adapter("", {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x11, 0x22}, true, {}),
    });
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "adapters 4",
                         "  . 3",
                         "    mac 1 02-00-00-00-00-01",
                         "    active 2 true",
                         "    name 1 a",
                         "  . 3",
                         "    mac 1 02-00-00-00-00-01",
                         "    active 2 false",
                         "    name 1 b",
                         "    ipv4 1 192.168.1.5/24",
                         "  . 3",
                         "    mac 1 02-00-00-00-00-01",
                         "    active 2 true",
                         "    name 1 c",
                         "    ipv4 1 10.0.0.2/8",
                         "    ipv6 5 fe80::1/64|2001:db8::5/64",
                         "  . 3",
                         "    mac 1 aa-bb-cc-dd-ee-ff-11-22",
                         "    active 2 true",
                     }));
}

TEST(NetworkAdapters, NoQualifyingAdapterOrNoListGivesNoAttribute) {
    EXPECT_TRUE(AdapterLines({Adapter("lo", {1, 2, 3, 4, 5, 6}, true, {}, true)}).empty());
    const size_t mark = LogMark();
    EXPECT_TRUE(AdapterLines({}, VORN_FAILED).empty());
    EXPECT_NE(LogSince(mark).find("Failed to retrieve Adapter List"), std::string::npos);
}

// Tunnels carry an IP endpoint where other links carry a hardware address, so
// they count as address-less, and so does an all-zero address (ip_gre's
// gretap0 and erspan0 are Ethernet links with one); long link-layer
// addresses keep every byte, zero bytes among them.
TEST(NetworkAdapters, LinkLayerAddressesByLinkType) {
    std::vector<unsigned char> ipoib(20);
    for (size_t i = 0; i < ipoib.size(); ++i) {
        ipoib[i] = static_cast<unsigned char>(i + 1);
    }
    const struct {
        const char* m_szName;
        unsigned short m_hatype;
        std::vector<unsigned char> m_address;
        size_t m_kept;
    } cases[] = {
        {"ether", ARPHRD_ETHER, {2, 0, 0, 0, 0, 1}, 6},
        {"gretap0", ARPHRD_ETHER, {0, 0, 0, 0, 0, 0}, 0},
        {"erspan0", ARPHRD_ETHER, {0, 0, 0, 0, 0, 0}, 0},
        {"zero-led", ARPHRD_ETHER, {0, 0, 0, 0, 0, 7}, 6},
        {"ipoib", ARPHRD_INFINIBAND, ipoib, 20},
        {"firewire", ARPHRD_IEEE1394, {1, 2, 3, 4, 5, 6, 7, 8}, 8},
        {"ipip", ARPHRD_TUNNEL, {10, 0, 0, 1}, 0},
        {"ip6tnl", ARPHRD_TUNNEL6, std::vector<unsigned char>(16, 1), 0},
        {"sit", ARPHRD_SIT, {0, 0, 0, 0}, 0},
        {"gre", ARPHRD_IPGRE, {0, 0, 0, 0}, 0},
        {"ip6gre", 823, std::vector<unsigned char>(16, 0), 0},
        {"wireguard", ARPHRD_NONE, {}, 0},
    };
    for (const auto& c : cases) {
        const FakeInterfaceList list({{c.m_szName, c.m_hatype, c.m_address, IFF_UP, {}}});
        const std::vector<unsigned char> kept = LinkLayerAddress(list.Head()->ifa_addr);
        EXPECT_EQ(kept,
                  std::vector<unsigned char>(c.m_address.begin(), c.m_address.begin() + c.m_kept))
            << c.m_szName;
    }
}

// Addresses join their interface in list order; the operational state comes
// from sysfs, "unknown" counting as up only while the link runs.
TEST(NetworkAdapters, InterfacesFromAnInterfaceList) {
    TempDir root;
    ASSERT_EQ(system(("mkdir -p " + root.file("sys/class/net/eth0")).c_str()), 0);
    WriteFile(root.file("sys/class/net/eth0/operstate"), "down\n");
    const FakeInterfaceList list({{"eth0",
                                   ARPHRD_ETHER,
                                   {2, 0, 0, 0, 0, 1},
                                   IFF_UP | IFF_RUNNING,
                                   {{"10.0.0.2", 8}, {"2001:db8::5", 64}}},
                                  {"dummy0",
                                   ARPHRD_ETHER,
                                   {2, 0, 0, 0, 0, 2},
                                   IFF_UP | IFF_RUNNING,
                                   {{"192.168.7.1", 20}}}});
    const std::vector<NetworkAdapter> adapters = AdaptersFromInterfaces(list.Head(), root.path());
    ASSERT_EQ(adapters.size(), 2u);
    EXPECT_EQ(adapters[0].m_strDescription, "eth0");
    EXPECT_FALSE(adapters[0].m_bUp);
    ASSERT_EQ(adapters[0].m_addresses.size(), 2u);
    EXPECT_EQ(adapters[0].m_addresses[0].m_prefixLength, 8);
    EXPECT_EQ(adapters[0].m_addresses[1].m_prefixLength, 64);
    EXPECT_EQ(adapters[1].m_strDescription, "dummy0");
    EXPECT_TRUE(adapters[1].m_bUp);
    ASSERT_EQ(adapters[1].m_addresses.size(), 1u);
    EXPECT_EQ(adapters[1].m_addresses[0].m_prefixLength, 20);
}

// Only the loopback interface, which every Linux machine has, is asserted.
TEST(NetworkAdapters, GetifaddrsSourceMarksLoopback) {
    CNetworkAdapterSourceLinux source;
    std::vector<NetworkAdapter> adapters;
    ASSERT_EQ(source.GetAdapters(adapters), VORN_OK);
    auto lo = std::find_if(adapters.begin(), adapters.end(),
                           [](const NetworkAdapter& a) { return a.m_strDescription == "lo"; });
    ASSERT_NE(lo, adapters.end());
    EXPECT_TRUE(lo->m_bLoopback);
    bool has127 = false;
    for (const UnicastAddress& address : lo->m_addresses) {
        std::string text;
        if (address.m_address.ss_family == AF_INET && AddressToString(address, text)) {
            has127 = has127 || (text == "127.0.0.1" && address.m_prefixLength == 8);
        }
    }
    EXPECT_TRUE(has127);
}

}  // namespace
}  // namespace vorn::test
