// The collector against whole fixture machines (exact attribute lists), and its
// getters' failure paths against a scripted query source.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>

#include "agent/attributecollectorfactory.h"
#include "agent/cloudformatconverter.h"
#include "agent/linux/attributecollectorlinux.h"
#include "tests/attribute_test_util.h"
#include "tests/fakeinterfaces.h"
#include "tests/support/testsupport.h"

namespace vorn::test {
namespace {

const std::string kMachines = std::string(VORN_TEST_DATA_DIR) + "/machines/";

// Every expected text appears in the log, in this order.
void ExpectLogInOrder(const std::string& log, const std::vector<std::string>& texts) {
    size_t from = 0;
    for (const std::string& text : texts) {
        const size_t at = log.find(text, from);
        ASSERT_NE(at, std::string::npos) << "missing in order: " << text << "\nlog:\n" << log;
        from = at + text.size();
    }
}

const char* const kSiblingsReg =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brevane Protect]\n"
    "\"guid\"=\"{6F1A2B3C-4D5E-6F70-8192-A3B4C5D6E7F8}\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Zanto\\Zanto Marovellin Roaming "
    "Client\\DeviceDetails]\n"
    "\"Sid\"=hex:01,05,00,00\n"
    "\"DigitalProductId\"=hex:aa,bb\n"
    "\"Nonce\"=dword:00000001\n";

// A host-name source whose resolver never answers in time: the lookup gives
// up, as a bounded lookup does, and the machine is left without a domain.
class SilentResolver : public FakeHostNames {
public:
    explicit SilentResolver(std::string host) : FakeHostNames(std::move(host), "") {}
    bool GetCanonicalName(const std::string&, std::string&) override { return false; }
};

FakeInterface Loopback() {
    return {"lo",
            ARPHRD_LOOPBACK,
            {0, 0, 0, 0, 0, 0},
            IFF_UP | IFF_RUNNING | IFF_LOOPBACK,
            {{"127.0.0.1", 8}, {"::1", 128}}};
}

// What a tunnel module's fallback device looks like: its "hardware address"
// is the IP endpoint, all zeros.
FakeInterface Tunnel(const char* name, unsigned short hatype, size_t addressBytes) {
    return {name, hatype, std::vector<unsigned char>(addressBytes, 0), IFF_NOARP, {}};
}

struct Machine {
    const char* m_szName;       // tests/data/machines/<name>, expected list in <name>.attributes
    std::string m_strRegistry;  // hive file content, empty for none
    std::shared_ptr<IHostNameSource> m_spHost;
    std::vector<FakeInterface> m_interfaces;
    std::vector<std::string> m_logLines;  // in this order
    // What the wire format says when it refuses to build the request for want
    // of a mandatory value; nullptr when the machine can ask for an identity.
    const char* m_szRefusal = nullptr;
};

void PrintTo(const Machine& machine, std::ostream* os) {
    *os << machine.m_szName;
}

// Each machine class as the kernel documents its sysfs, procfs and /etc, with
// the interfaces getifaddrs() lists on it.
std::vector<Machine> Machines() {
    return {
        {"workstation",
         kSiblingsReg,
         std::make_shared<FakeHostNames>("ws-0142", "ws-0142.corp.example.com"),
         {Loopback(),
          {"eno1",
           ARPHRD_ETHER,
           {0x3c, 0xec, 0xef, 0x12, 0x34, 0x56},
           IFF_UP | IFF_RUNNING,
           {{"10.20.30.40", 24}, {"fe80::3eec:efff:fe12:3456", 64}}}},
         // DigitalProductId4 is optional: its absence is only logged.
         {"vorn::GetBinaryRegistryKey", "QueryBinaryValue failed"}},
        {"vmware",
         "",
         std::make_shared<FakeHostNames>("vm-build-7", "vm-build-7"),
         {{"ens192",
           ARPHRD_ETHER,
           {0x00, 0x50, 0x56, 0xa1, 0xb2, 0xc3},
           IFF_UP,  // not running: the link is down
           {{"169.254.10.20", 16}, {"192.168.1.5", 24}, {"192.168.1.6", 24}}}},
         {"Failed to open registry keys to retrieve oxa guid", "Failed to retrieve OXA GUID",
          "MV not installed failed to retrieve MV UDID.", "Failed to retrieve MV UDID"}},
        {"nodmi",
         "",
         std::make_shared<FakeHostNames>("microvm", ""),
         {Loopback()},
         {"Empty list returned by WMI for BIOS serial number.",
          "Failed to retrieve BIOS Serial Number.", "Empty list returned by WMI for UUID.",
          "Failed to retrieve BIOS UUID.", "List from WMI was empty while fetching Partition ID.",
          "Failed to retrieve PartitionID Info.", "Failed to retrieve OXA GUID",
          "Failed to retrieve MV UDID"},
         "Mandatory Hardware data missing."},
        // SATA disks (serial in the unit serial page), two paths to one SAS
        // LUN, NVMe with native multipath (hidden path devices), InfiniBand
        // and the fallback devices of the tunnel modules.
        {"server",
         "",
         std::make_shared<FakeHostNames>("db-07", "db-07.dc1.example.net"),
         {Loopback(),
          {"eno1",
           ARPHRD_ETHER,
           {0xb0, 0x7b, 0x25, 0x1a, 0x2b, 0x3c},
           IFF_UP | IFF_RUNNING,
           {{"10.1.2.3", 24}, {"fe80::b27b:25ff:fe1a:2b3c", 64}}},
          {"ib0",
           ARPHRD_INFINIBAND,
           {0x80, 0x00, 0x02, 0x08, 0xfe, 0x80, 0,    0,    0,    0,
            0,    0,    0x0c, 0x42, 0xa1, 0x03, 0x00, 0x5e, 0x6f, 0x70},
           IFF_UP | IFF_RUNNING,
           {{"192.168.100.5", 24}}},
          Tunnel("sit0", ARPHRD_SIT, 4),
          Tunnel("tunl0", ARPHRD_TUNNEL, 4),
          Tunnel("gre0", ARPHRD_IPGRE, 4),
          Tunnel("ip6tnl0", ARPHRD_TUNNEL6, 16)},
         {"Disk sdab is another path to a disk already listed"}},
        // No udev links: the root UUID comes from the superblock on dev/vda1.
        // QEMU sets no serial number unless told to.
        {"kvm",
         "",
         std::make_shared<SilentResolver>("debian-kvm"),
         {Loopback(),
          {"enp1s0",
           ARPHRD_ETHER,
           {0x52, 0x54, 0x00, 0x12, 0x34, 0x56},
           IFF_UP | IFF_RUNNING,
           {{"192.168.122.10", 24}}},
          Tunnel("sit0", ARPHRD_SIT, 4)},
         {"Failed to encode BIOS serial number.", "Failed to retrieve BIOS Serial Number."},
         "Mandatory Hardware data missing."},
        // The static host name is fully qualified; the resolver's answer
        // differs and is not asked for.
        {"cloud-nvme",
         "",
         std::make_shared<FakeHostNames>("ip-172-31-1-2.ec2.internal",
                                         "ip-172-31-1-2.eu-west-1.compute.internal"),
         {Loopback(),
          {"ens5",
           ARPHRD_ETHER,
           {0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f},
           IFF_UP | IFF_RUNNING,
           {{"172.31.1.2", 20}, {"fe80::81b:2cff:fe3d:4e5f", 64}}}},
         {}},
        // Synthetic NIC with its accelerated-networking VF (same MAC); disks
        // without serial numbers; root on /dev/root.
        {"hyperv",
         "",
         std::make_shared<FakeHostNames>("azvm-web01",
                                         "azvm-web01.abcd1234.bx.internal.cloudapp.net"),
         {Loopback(),
          {"eth0",
           ARPHRD_ETHER,
           {0x00, 0x0d, 0x3a, 0x1b, 0x2c, 0x3d},
           IFF_UP | IFF_RUNNING,
           {{"10.0.0.4", 24}}},
          {"enP30832s1",
           ARPHRD_ETHER,
           {0x00, 0x0d, 0x3a, 0x1b, 0x2c, 0x3d},
           IFF_UP | IFF_RUNNING,
           {}}},
         {}},
        // No DMI, no disks, an overlay root, no VERSION_ID.
        {"container",
         "",
         std::make_shared<SilentResolver>("3f2a1b0c9d8e"),
         {Loopback(),
          {"eth0",
           ARPHRD_ETHER,
           {0x02, 0x42, 0xac, 0x11, 0x00, 0x02},
           IFF_UP | IFF_RUNNING,
           {{"172.17.0.2", 16}}}},
         {"Empty list returned by WMI for BIOS serial number.",
          "Empty list returned by WMI for UUID.",
          "The root file system (overlay) has no block device: no partition id",
          "List from WMI was empty while fetching Partition ID.",
          "List from WMI was empty while fetching Disk info.", "Failed to retrieve Disk Info.",
          "Empty list returned by WMI for Disk Drive Model.", "Failed to determine virtualization"},
         "Mandatory Hardware data missing."},
        // Latin-1 bytes in the firmware strings, a disk serial and os-release.
        {"latin1",
         "",
         std::make_shared<SilentResolver>("poste-12"),
         {Loopback(),
          {"enp0s31f6",
           ARPHRD_ETHER,
           {0x54, 0xe1, 0xad, 0x12, 0x34, 0x56},
           IFF_UP | IFF_RUNNING,
           {{"192.168.1.20", 24}}}},
         {"latin1/sys/class/dmi/id/product_serial is not UTF-8 text: 1 invalid bytes read as "
          "U+FFFD",
          "/device/vpd_pg80 is not UTF-8 text: 1 invalid bytes",
          "latin1/etc/os-release is not UTF-8 text: 1 invalid bytes",
          "latin1/sys/class/dmi/id/product_name is not UTF-8 text"}},
    };
}

std::vector<std::string> ExpectedLines(const std::string& machine) {
    std::vector<std::string> lines;
    std::istringstream text(ReadFile(kMachines + machine + ".attributes"));
    std::string line;
    while (std::getline(text, line)) {
        lines.push_back(line);
    }
    return lines;
}

class AttributeCollectorMachines : public ::testing::TestWithParam<Machine> {};

TEST_P(AttributeCollectorMachines, GiveTheirExactAttributeList) {
    const Machine& machine = GetParam();
    TempDir registry;
    if (!machine.m_strRegistry.empty()) {
        WriteFile(registry.file("siblings.reg"), machine.m_strRegistry);
    }
    ScopedEnv env("VORN_REGISTRY_DIR", registry.path());
    const std::string root = kMachines + machine.m_szName;
    CAttributeCollectorLinux collector(
        root, std::make_shared<FakeInterfaceSource>(machine.m_interfaces, root), machine.m_spHost);
    std::list<CAttribute> attributes{CAttribute("stale", eAttributeTypeString, "x")};
    const size_t mark = LogMark();
    ASSERT_EQ(collector.GetAttributeList(attributes), VORN_OK);
    EXPECT_EQ(Flatten(attributes), ExpectedLines(machine.m_szName));
    ExpectLogInOrder(LogSince(mark), machine.m_logLines);

    IdentityServiceRequest request;
    request.m_lstAttributes = attributes;
    request.m_strBID = "4f7d0c1e-2b3a-4c5d-8e9f-0a1b2c3d4e5f";
    request.m_strBToken = "installer-key";
    std::string document;
    const size_t requestMark = LogMark();
    const VORN_STATUS status = CloudFormatConverter::SerializeRequestData(request, document);
    if (machine.m_szRefusal == nullptr) {
        EXPECT_EQ(status, VORN_OK) << LogSince(requestMark);
    } else {
        EXPECT_NE(status, VORN_OK);
        EXPECT_NE(LogSince(requestMark).find(machine.m_szRefusal), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Classes, AttributeCollectorMachines, ::testing::ValuesIn(Machines()),
                         [](const ::testing::TestParamInfo<Machine>& info) {
                             std::string name = info.param.m_szName;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// Host names whose every use is counted; the canonical name can be changed
// between collections.
class CountingHostNames : public IHostNameSource {
public:
    bool GetHostName(std::string& name) override {
        ++m_hostReads;
        name = "ws-0142";
        return true;
    }
    bool GetCanonicalName(const std::string&, std::string&) override {
        ++m_waitingLookups;
        return false;
    }
    PendingName StartCanonicalName(const std::string& host) override {
        ++m_startedLookups;
        const std::string canonical = host + "." + m_domain;
        return [canonical](std::string& name) {
            name = canonical;
            return true;
        };
    }
    std::string m_domain = "corp.example.com";
    int m_hostReads = 0;
    int m_startedLookups = 0;
    int m_waitingLookups = 0;
};

// Each collection reads a source shared by several queries once, with the
// name lookup started ahead; nothing is kept for the next collection, which
// sees every change.
TEST(AttributeCollectorSources, ReadOncePerCollectionAndAfreshInTheNext) {
    namespace fs = std::filesystem;
    TempDir scratch;
    const std::string root = scratch.file("machine");
    fs::copy(kMachines + "workstation", root,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    const std::string registry = scratch.file("registry");
    fs::create_directory(registry);
    WriteFile(registry + "/siblings.reg", kSiblingsReg);
    ScopedEnv env("VORN_REGISTRY_DIR", registry);
    auto hosts = std::make_shared<CountingHostNames>();
    CAttributeCollectorLinux collector(
        root, std::make_shared<FakeInterfaceSource>(std::vector<FakeInterface>{}, root), hosts);
    auto has = [](const std::vector<std::string>& lines, const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };

    std::list<CAttribute> attributes;
    ASSERT_EQ(collector.GetAttributeList(attributes), VORN_OK);
    std::vector<std::string> lines = Flatten(attributes);
    EXPECT_TRUE(has(lines, "domainname 1 corp.example.com"));
    EXPECT_TRUE(has(lines, "name 1 Debian GNU/Linux 12 (bookworm)"));
    EXPECT_EQ(hosts->m_hostReads, 1);
    EXPECT_EQ(hosts->m_startedLookups, 1);
    EXPECT_EQ(hosts->m_waitingLookups, 0);

    WriteFile(root + "/etc/os-release", "PRETTY_NAME=\"Debian GNU/Linux 13 (trixie)\"\n");
    WriteFile(root + "/proc/sys/kernel/osrelease", "6.12.9-amd64\n");
    WriteFile(root + "/sys/block/nvme0n1/device/serial", "NEWSERIAL\n");
    std::string reg = kSiblingsReg;
    reg.replace(reg.find("6F1A2B3C"), 8, "00000000");
    WriteFile(registry + "/siblings.reg", reg);
    hosts->m_domain = "lab.example.org";

    ASSERT_EQ(collector.GetAttributeList(attributes), VORN_OK);
    lines = Flatten(attributes);
    for (const char* line :
         {"domainname 1 lab.example.org", "name 1 Debian GNU/Linux 13 (trixie)",
          "kernel 1 6.12.9-amd64", "build 1 6.12.9-amd64", "    serial_number 1 TkVXU0VSSUFM",
          "  uuid 1 {00000000-4D5E-6F70-8192-A3B4C5D6E7F8}"}) {
        EXPECT_TRUE(has(lines, line)) << line;
    }
    EXPECT_EQ(hosts->m_hostReads, 2);
    EXPECT_EQ(hosts->m_startedLookups, 2);
    EXPECT_EQ(hosts->m_waitingLookups, 0);
}

TEST(AttributeCollectorRoot, MissingSystemRootFailsEveryQueryButStillCollects) {
    TempDir registry;
    ScopedEnv env("VORN_REGISTRY_DIR", registry.path());
    const size_t mark = LogMark();
    CAttributeCollectorLinux collector(registry.file("no-such-root"),
                                       std::make_shared<FakeAdapters>(std::vector<NetworkAdapter>{
                                           Adapter("eth0", {1, 2, 3, 4, 5, 6}, true, {})}),
                                       std::make_shared<FakeHostNames>("h", ""));
    std::list<CAttribute> attributes;
    ASSERT_EQ(collector.GetAttributeList(attributes), VORN_OK);
    EXPECT_EQ(Flatten(attributes),
              (std::vector<std::string>{"adapters 4", "  . 3", "    mac 1 01-02-03-04-05-06",
                                        "    active 2 true", "    name 1 eth0"}));
    ExpectLogInOrder(
        LogSince(mark),
        {"Failed to open system root", "Failed to construct object ",
         "vorn::CAttributeCollectorLinux::getBIOSSerialNumber",
         "Failed to run WMI query to get BIOS serial number.",
         "Failed to retrieve BIOS Serial Number.", "Failed to construct object ",
         "Failed to run WMI query to get System Model", "Failed to determine virtualization"});
}

// A query source that answers from a script: query text -> names and rows.
class ScriptedWMI : public WMIInterface {
public:
    struct Answer {
        VORN_STATUS m_status = VORN_OK;
        std::list<std::wstring> m_names;
        std::vector<std::vector<std::wstring>> m_rows;
    };
    std::map<std::wstring, Answer> m_answers;

    VORN_STATUS RunWMIQuery(const std::wstring& query, std::list<std::wstring>& names,
                            std::list<WMIRow>& rows) override {
        auto found = m_answers.find(query);
        if (found == m_answers.end() || found->second.m_status != VORN_OK) {
            return VORN_FAILED;
        }
        for (const auto& values : found->second.m_rows) {
            if (names.empty()) {
                names = found->second.m_names;
            }
            WMIRow row;
            for (const std::wstring& value : values) {
                row.push_back(WMIValue{value, {}, eWMIValueString});
            }
            rows.push_back(row);
        }
        return VORN_OK;
    }
};

const std::wstring kSerialQuery = L"SELECT SerialNumber FROM Win32_BIOS";
const std::wstring kUUIDQuery = L"SELECT UUID FROM Win32_ComputerSystemProduct";
const std::wstring kDriveQuery = L"SELECT SystemDrive FROM Win32_OperatingSystem";
const std::wstring kVolumeQuery = L"SELECT DeviceID FROM Win32_Volume WHERE DriveLetter='C:'";
const std::wstring kDiskQuery = L"SELECT SerialNumber, MediaType FROM Win32_DiskDrive";
const std::wstring kOSQuery =
    L"SELECT Version, OSArchitecture, BuildNumber, Caption, OSProductSuite, ProductType FROM "
    L"Win32_OperatingSystem";
const std::wstring kModelQuery = L"SELECT Model FROM Win32_ComputerSystem";
const std::wstring kDiskModelQuery = L"SELECT Model FROM Win32_DiskDrive";

// A physical machine that answers every query.
std::unique_ptr<ScriptedWMI> PhysicalMachine() {
    auto wmi = std::make_unique<ScriptedWMI>();
    wmi->m_answers[kSerialQuery] = {VORN_OK, {L"SerialNumber"}, {{L"ABC"}}};
    wmi->m_answers[kUUIDQuery] = {VORN_OK, {L"UUID"}, {{L"U-1"}}};
    wmi->m_answers[kDriveQuery] = {VORN_OK, {L"SystemDrive"}, {{L"C:"}}};
    wmi->m_answers[kVolumeQuery] = {VORN_OK, {L"DeviceID"}, {{L"\\\\?\\Volume{abc-123}\\"}}};
    wmi->m_answers[kDiskQuery] = {VORN_OK, {L"MediaType", L"SerialNumber"}, {}};
    wmi->m_answers[kOSQuery] = {
        VORN_OK,
        {L"BuildNumber", L"Caption", L"OSArchitecture", L"OSProductSuite", L"ProductType",
         L"Version"},
        {{L"22631", L"Windows 11 Pro ", L"64-bit", L"256", L"1", L"10.0.22631"}}};
    wmi->m_answers[kModelQuery] = {VORN_OK, {L"Model"}, {{L"OptiPlex 7090"}}};
    wmi->m_answers[kDiskModelQuery] = {VORN_OK, {L"Model"}, {{L"PM9A1 NVMe"}}};
    return wmi;
}

std::vector<std::string> Collect(std::unique_ptr<ScriptedWMI> wmi, std::string& log) {
    TempDir empty;
    ScopedEnv env("VORN_REGISTRY_DIR", empty.path());
    CAttributeCollectorLinux collector(
        std::move(wmi), empty.path(),
        std::make_shared<FakeAdapters>(std::vector<NetworkAdapter>{}, VORN_FAILED));
    std::list<CAttribute> attributes;
    const size_t mark = LogMark();
    EXPECT_EQ(collector.GetAttributeList(attributes), VORN_OK);
    log = LogSince(mark);
    return Flatten(attributes);
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(AttributeCollectorGetters, OSDetailsFollowTheReportedPropertyOrder) {
    std::string log;
    const auto lines = Collect(PhysicalMachine(), log);
    const std::vector<std::string> expected = {
        "serial_number 1 QUJD",
        "uuid 1 U-1",
        "partition_id 1 abc-123",
        "build 1 22631",
        "name 1 Windows 11 Pro",
        "arch 1 64-bit",
        "suite 1 256",
        "product_type 1 1",
        "major 1 10",
        "minor 1 0",
        "is_virtual 2 false",
    };
    EXPECT_EQ(lines, expected);
    ExpectLogInOrder(
        log,
        {"Failed to run WMI query to get Kernel Release.", "Failed to retrieve kernel release.",
         "Failed to run WMI query to get FQDN Components.", "Failed to retrieve FQDN Components.",
         "Failed to retrieve Adapter List"});
}

struct GetterCase {
    const char* m_szName;
    void (*m_fnScript)(ScriptedWMI&);
    std::vector<std::string> m_present;  // lines that must be present
    std::vector<std::string> m_absent;   // lines that must not be present
    std::vector<std::string> m_log;      // log texts, in order
};

TEST(AttributeCollectorGetters, FailurePathsCostOnlyTheirAttributes) {
    const std::vector<GetterCase> cases = {
        {"serial query fails",
         [](ScriptedWMI& w) { w.m_answers[kSerialQuery].m_status = VORN_FAILED; },
         {"uuid 1 U-1"},
         {"serial_number 1 QUJD"},
         {"vorn::CAttributeCollectorLinux::getBIOSSerialNumber",
          "Failed to run WMI query to get BIOS serial number.",
          "vorn::CAttributeCollectorLinux::GetAttributeList",
          "Failed to retrieve BIOS Serial Number."}},
        {"empty serial",
         [](ScriptedWMI& w) { w.m_answers[kSerialQuery].m_rows = {{L""}}; },
         {},
         {"serial_number 1 QUJD"},
         {"Failed to encode BIOS serial number.", "Failed to retrieve BIOS Serial Number."}},
        {"blank serial",
         [](ScriptedWMI& w) { w.m_answers[kSerialQuery].m_rows = {{L"   \t"}}; },
         {},
         {"serial_number 1 QUJD"},
         {"Failed to encode BIOS serial number.", "Failed to retrieve BIOS Serial Number."}},
        {"no serial row",
         [](ScriptedWMI& w) { w.m_answers[kSerialQuery].m_rows.clear(); },
         {},
         {},
         {"Empty list returned by WMI for BIOS serial number.",
          "Failed to retrieve BIOS Serial Number."}},
        {"null uuid is present and empty",
         [](ScriptedWMI& w) { w.m_answers[kUUIDQuery].m_rows = {{L""}}; },
         {"uuid 1 "},
         {},
         {}},
        {"system drive query fails",
         [](ScriptedWMI& w) { w.m_answers[kDriveQuery].m_status = VORN_FAILED; },
         {},
         {"partition_id 1 abc-123"},
         {"Failed to run WMI query to get System Drive.", "Failed to retrieve PartitionID Info."}},
        {"no volume",
         [](ScriptedWMI& w) { w.m_answers[kVolumeQuery].m_rows.clear(); },
         {},
         {"partition_id 1 abc-123"},
         {"List from WMI was empty while fetching Partition ID.",
          "Failed to retrieve PartitionID Info."}},
        {"volume id without braces",
         [](ScriptedWMI& w) { w.m_answers[kVolumeQuery].m_rows = {{L"\\\\?\\Volume-abc\\"}}; },
         {},
         {"partition_id 1 abc-123"},
         {"Malformed Partition ID retrieved", "Failed to retrieve PartitionID Info."}},
        {"volume id without closing brace",
         [](ScriptedWMI& w) { w.m_answers[kVolumeQuery].m_rows = {{L"\\\\?\\Volume{abc\\"}}; },
         {},
         {},
         {"Malformed Partition ID retrieved"}},
        {"disks: empty serial dropped, trailing blank kept, media types",
         [](ScriptedWMI& w) {
             w.m_answers[kDiskQuery].m_rows = {{L"Fixed hard disk media", L"D1"},
                                               {L"Fixed hard disk media", L""},
                                               {L"External hard disk media", L"D1 "},
                                               {L"Removable Media", L"R"},
                                               {L"Unknown", L"U"},
                                               {L"", L"E"}};
         },
         {"disk_list 4"},
         {},
         {}},
        {"disk query fails",
         [](ScriptedWMI& w) { w.m_answers[kDiskQuery].m_status = VORN_FAILED; },
         {},
         {"disk_list 4"},
         {"Failed to run WMI query to get Disk info.", "Failed to retrieve Disk Info."}},
        {"version without a dot",
         [](ScriptedWMI& w) { w.m_answers[kOSQuery].m_rows.front().back() = L"10"; },
         {"major 1 ", "minor 1 "},
         {"major 1 10"},
         {}},
        {"virtual machine model",
         [](ScriptedWMI& w) {
             w.m_answers[kModelQuery].m_rows = {{L"VMware Virtual Platform"}};
             w.m_answers.erase(kDiskModelQuery);  // never asked
         },
         {"is_virtual 2 true"},
         {},
         {}},
        {"first disk virtual",
         [](ScriptedWMI& w) { w.m_answers[kDiskModelQuery].m_rows = {{L"VMware Virtual disk"}}; },
         {"is_virtual 2 true"},
         {},
         {}},
        {"only second disk virtual",
         [](ScriptedWMI& w) {
             w.m_answers[kDiskModelQuery].m_rows = {{L"PM9A1"}, {L"Virtual disk"}};
         },
         {"is_virtual 2 false"},
         {},
         {}},
        {"disk model query fails",
         [](ScriptedWMI& w) { w.m_answers[kDiskModelQuery].m_status = VORN_FAILED; },
         {},
         {"is_virtual 2 false", "is_virtual 2 true"},
         {"Failed to run WMI query to get Disk Drive Model", "Failed to determine virtualization"}},
        {"no system model row",
         [](ScriptedWMI& w) { w.m_answers[kModelQuery].m_rows.clear(); },
         {},
         {"is_virtual 2 false"},
         {"Empty list returned by WMI for System Model.", "Failed to determine virtualization"}},
    };
    for (const GetterCase& c : cases) {
        SCOPED_TRACE(c.m_szName);
        auto wmi = PhysicalMachine();
        c.m_fnScript(*wmi);
        std::string log;
        const auto lines = Collect(std::move(wmi), log);
        for (const std::string& line : c.m_present) {
            EXPECT_TRUE(Contains(lines, line)) << line;
        }
        for (const std::string& line : c.m_absent) {
            EXPECT_FALSE(Contains(lines, line)) << line;
        }
        ExpectLogInOrder(log, c.m_log);
    }
}

TEST(AttributeCollectorGetters, DiskListKeepsQualifiedDisksInOrder) {
    auto wmi = PhysicalMachine();
    wmi->m_answers[kDiskQuery].m_rows = {{L"Fixed hard disk media", L"D1"},
                                         {L"Fixed hard disk media", L""},
                                         {L"External hard disk media", L"D1 "},
                                         {L"Removable Media", L"R"},
                                         {L"Unknown", L"U"}};
    std::string log;
    const auto lines = Collect(std::move(wmi), log);
    const std::vector<std::string> disks(lines.begin() + 3, lines.begin() + 3 + 12);
    EXPECT_EQ(disks, (std::vector<std::string>{
                         "disk_list 4", "  . 3", "    internal 2 true", "    serial_number 1 RDE=",
                         "  . 3", "    internal 2 false", "    serial_number 1 RDEg",  // "D1 "
                         "  . 3", "    internal 2 false", "    serial_number 1 Ug==", "  . 3",
                         "    serial_number 1 VQ=="}));
}

TEST(AttributeCollectorGetters, NoDiskWithASerialGivesNoDiskList) {
    auto wmi = PhysicalMachine();
    wmi->m_answers[kDiskQuery].m_rows = {{L"Fixed hard disk media", L""}};
    std::string log;
    const auto lines = Collect(std::move(wmi), log);
    EXPECT_FALSE(Contains(lines, "disk_list 4"));
    EXPECT_EQ(log.find("Failed to retrieve Disk Info."), std::string::npos);
}

TEST(AttributeCollectorGetters, SplitVersion) {
    const struct {
        const char* m_szVersion;
        const char* m_szMajor;
        const char* m_szMinor;
    } cases[] = {
        {"10.0.19045", "10", "0"}, {"6.3", "6", "3"}, {"10", "", ""}, {"22.04", "22", "04"},
        {"1.", "1", ""},           {".5", "", "5"},   {"", "", ""}};
    for (const auto& c : cases) {
        std::string major = "x", minor = "y";
        SplitVersion(c.m_szVersion, major, minor);
        EXPECT_EQ(major, c.m_szMajor) << c.m_szVersion;
        EXPECT_EQ(minor, c.m_szMinor) << c.m_szVersion;
    }
}

// The running machine, in process, through the factory the agent uses. Only
// the time is asserted: the values belong to whatever machine runs the test.
TEST(AttributeCollectorLive, CollectsQuicklyOnThisMachine) {
    std::unique_ptr<IAttributeCollector> collector = CreateAttributeCollector();
    ASSERT_NE(collector, nullptr);
    std::list<CAttribute> attributes;
    constexpr int kRuns = 20;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRuns; ++i) {
        ASSERT_EQ(collector->GetAttributeList(attributes), VORN_OK);
    }
    const auto perRun = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - start) /
                        kRuns;
    RecordProperty("microseconds_per_collection", static_cast<int>(perRun.count()));
    std::printf("collection: %lld us per run, %zu attributes\n",
                static_cast<long long>(perRun.count()), attributes.size());
}

}  // namespace
}  // namespace vorn::test
