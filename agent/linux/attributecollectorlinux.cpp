#include "agent/linux/attributecollectorlinux.h"

#include <netinet/in.h>

#include <algorithm>
#include <vector>

#include "agent/attributecollectorfactory.h"
#include "agent/cryptoutils.h"
#include "agent/linux/hostnamesource.h"
#include "agent/linux/networkadapterslinux.h"
#include "agent/siblingproducts.h"
#include "common/linux/registrycache.h"
#include "common/textescape.h"
#include "common/vornlogger.h"
#include "common/vornutils.h"

namespace vorn {

namespace {

using AttributeList = std::list<CAttribute>;

std::shared_ptr<AttributeList> Share(AttributeList&& children) {
    return std::make_shared<AttributeList>(std::move(children));
}

// Serial numbers are encoded as the bytes the platform's narrow encoding
// gives them; on Linux that is UTF-8. A serial of nothing but blanks
// identifies no machine (firmware and USB bridges fill unset serials with
// spaces), so it counts as empty.
std::string SerialText(const std::wstring& value) {
    std::string text = WideToUTF8(value);
    std::string trimmed = text;
    Trim(trimmed);
    return trimmed.empty() ? std::string() : text;
}

std::string LowerAscii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; });
    return text;
}

bool IsVirtualModel(const std::wstring& model) {
    // Built once, on first use.
    static const std::vector<std::string> keywords = {"vmware", "virtual"};
    const std::string text = LowerAscii(WideToUTF8(model));
    return std::any_of(keywords.begin(), keywords.end(), [&](const std::string& keyword) {
        return text.find(keyword) != std::string::npos;
    });
}

// The queries of the getters, in the order of eStep, each with what it logs
// (in its getter's name) and returns when it fails or answers with no row
// (or, when it needs values, with a first row without any). The volume
// query's text is built from the system drive.
enum class eStep {
    BIOSSerialNumber,
    BIOSUUID,
    SystemDrive,
    PartitionID,
    DiskInfo,
    OSDetails,
    KernelRelease,
    FQDNComponents,
    SystemModel,
    DiskModel,
    Count,
};

struct QueryStep {
    const char* m_szFunction;  // the getter, named in the log lines
    const wchar_t* m_wszQuery;
    const char* m_szFailed;
    const char* m_szEmpty;
    VORN_STATUS m_failedStatus;
    VORN_STATUS m_emptyStatus;
    bool m_bNeedValues;
};

const QueryStep kSteps[] = {
    {"vorn::CAttributeCollectorLinux::getBIOSSerialNumber", L"SELECT SerialNumber FROM Win32_BIOS",
     "Failed to run WMI query to get BIOS serial number.",
     "Empty list returned by WMI for BIOS serial number.", VORN_FAILED, VORN_INVALID_ARGUMENT,
     true},
    {"vorn::CAttributeCollectorLinux::getBIOSUUID", L"SELECT UUID FROM Win32_ComputerSystemProduct",
     "Failed to run WMI query to get UUID", "Empty list returned by WMI for UUID.", VORN_FAILED,
     VORN_INVALID_ARGUMENT, true},
    {"vorn::CAttributeCollectorLinux::getPartitionID",
     L"SELECT SystemDrive FROM Win32_OperatingSystem",
     "Failed to run WMI query to get System Drive.",
     "List from WMI was empty while fetching System Drive.", VORN_FAILED, VORN_INVALID_ARGUMENT,
     true},
    {"vorn::CAttributeCollectorLinux::getPartitionID", nullptr,
     "Failed to run WMI query to get Partition ID.",
     "List from WMI was empty while fetching Partition ID.", VORN_FAILED, VORN_INVALID_ARGUMENT,
     true},
    {"vorn::CAttributeCollectorLinux::getDiskInfo",
     L"SELECT SerialNumber, MediaType FROM Win32_DiskDrive",
     "Failed to run WMI query to get Disk info.",
     "List from WMI was empty while fetching Disk info.", VORN_FAILED, VORN_INVALID_ARGUMENT,
     false},
    {"vorn::CAttributeCollectorLinux::getOSDetails",
     L"SELECT Version, OSArchitecture, BuildNumber, Caption, OSProductSuite, "
     L"ProductType FROM Win32_OperatingSystem",
     "Failed to run WMI query to get OS Details.", "Empty list returned by WMI for OS Details.",
     VORN_FAILED, VORN_INVALID_ARGUMENT, true},
    {"vorn::CAttributeCollectorLinux::getKernelRelease",
     L"SELECT KernelRelease FROM Win32_OperatingSystem",
     "Failed to run WMI query to get Kernel Release.",
     "Empty list returned by WMI for Kernel Release.", VORN_FAILED, VORN_INVALID_ARGUMENT, true},
    {"vorn::CAttributeCollectorLinux::getFQDNComponents",
     L"SELECT DNSHostName, Domain FROM Win32_ComputerSystem",
     "Failed to run WMI query to get FQDN Components.",
     "Empty list returned by WMI for FQDN Components.", VORN_FAILED, VORN_INVALID_ARGUMENT, true},
    {"vorn::CAttributeCollectorLinux::getIsVirtualMachine",
     L"SELECT Model FROM Win32_ComputerSystem", "Failed to run WMI query to get System Model",
     "Empty list returned by WMI for System Model.", VORN_ERROR, VORN_ERROR, true},
    {"vorn::CAttributeCollectorLinux::getIsVirtualMachine", L"SELECT Model FROM Win32_DiskDrive",
     "Failed to run WMI query to get Disk Drive Model",
     "Empty list returned by WMI for Disk Drive Model.", VORN_ERROR, VORN_ERROR, true},
};

static_assert(sizeof(kSteps) / sizeof(kSteps[0]) == static_cast<size_t>(eStep::Count),
              "one query step per eStep");

// Runs the step's query ('query' when given) into fresh lists: VORN_OK with
// rows, else the step's message at error level and its status.
VORN_STATUS RunStep(WMIInterface& wmi, eStep id, std::list<std::wstring>& names,
                    std::list<WMIRow>& rows, const wchar_t* query = nullptr) {
    const QueryStep& step = kSteps[static_cast<size_t>(id)];
    names.clear();
    rows.clear();
    if (wmi.RunWMIQuery(query != nullptr ? query : step.m_wszQuery, names, rows) != VORN_OK) {
        VORN_LOG_AS(CVORNLogger::kError, step.m_szFunction, "%s", step.m_szFailed);
        return step.m_failedStatus;
    }
    if (rows.empty() || (step.m_bNeedValues && rows.front().empty())) {
        VORN_LOG_AS(CVORNLogger::kError, step.m_szFunction, "%s", step.m_szEmpty);
        return step.m_emptyStatus;
    }
    return VORN_OK;
}

}  // namespace

void SplitVersion(const std::string& version, std::string& major, std::string& minor) {
    major.clear();
    minor.clear();
    const size_t dot = version.find('.');
    if (dot == std::string::npos) {
        return;
    }
    major = version.substr(0, dot);
    const std::string rest = version.substr(dot + 1);
    minor = rest.substr(0, rest.find('.'));
}

CAttributeCollectorLinux::CAttributeCollectorLinux()
    : CAttributeCollectorLinux(GetDefaultSysRoot(),
                               std::make_shared<CNetworkAdapterSourceLinux>(GetDefaultSysRoot()),
                               std::make_shared<CHostNameSourceLinux>()) {}

CAttributeCollectorLinux::CAttributeCollectorLinux(const std::string& sysRoot,
                                                   std::shared_ptr<INetworkAdapterSource> adapters,
                                                   std::shared_ptr<IHostNameSource> hostNames)
    : CAttributeCollectorLinux(std::make_unique<WMIInterface>(sysRoot, std::move(hostNames)),
                               sysRoot, std::move(adapters)) {}

CAttributeCollectorLinux::CAttributeCollectorLinux(std::unique_ptr<WMIInterface> wmi,
                                                   const std::string& sysRoot,
                                                   std::shared_ptr<INetworkAdapterSource> adapters)
    : m_wmi(std::move(wmi)), m_strSysRoot(sysRoot), m_spAdapters(std::move(adapters)) {}

CAttributeCollectorLinux::~CAttributeCollectorLinux() = default;

std::unique_ptr<IAttributeCollector> CreateAttributeCollector() {
    return std::make_unique<CAttributeCollectorLinux>();
}

VORN_STATUS CAttributeCollectorLinux::GetAttributeList(std::list<CAttribute>& attributes) {
    attributes.clear();
    // One collection reads each source once, and the next one reads it again.
    const CRegistryReadScope registry;
    struct CollectionScope {
        explicit CollectionScope(WMIInterface& wmi) : m_wmi(wmi) { m_wmi.BeginCollection(); }
        ~CollectionScope() { m_wmi.EndCollection(); }
        CollectionScope(const CollectionScope&) = delete;
        CollectionScope& operator=(const CollectionScope&) = delete;
        WMIInterface& m_wmi;
    } collection(*m_wmi);
    using Getter = VORN_STATUS (CAttributeCollectorLinux::*)(std::list<CAttribute>&);
    static const struct {
        Getter m_getter;
        const char* m_szError;
    } kSteps[] = {
        {&CAttributeCollectorLinux::getBIOSSerialNumber, "Failed to retrieve BIOS Serial Number."},
        {&CAttributeCollectorLinux::getBIOSUUID, "Failed to retrieve BIOS UUID."},
        {&CAttributeCollectorLinux::getPartitionID, "Failed to retrieve PartitionID Info."},
        {&CAttributeCollectorLinux::getDiskInfo, "Failed to retrieve Disk Info."},
        {&CAttributeCollectorLinux::getOSDetails, "Failed to retrieve basic OS details."},
        {&CAttributeCollectorLinux::getKernelRelease, "Failed to retrieve kernel release."},
        {&CAttributeCollectorLinux::getFQDNComponents, "Failed to retrieve FQDN Components."},
        {&CAttributeCollectorLinux::getIsVirtualMachine, "Failed to determine virtualization"},
        {&CAttributeCollectorLinux::getAdapterList, "Failed to retrieve Adapter List"},
        {&CAttributeCollectorLinux::getOXAGUID, "Failed to retrieve OXA GUID"},
        {&CAttributeCollectorLinux::getMVUDID, "Failed to retrieve MV UDID"},
    };
    for (const auto& step : kSteps) {
        if ((this->*step.m_getter)(attributes) != VORN_OK) {
            VORN_LOG_ERROR("%s", step.m_szError);
        }
    }
    return VORN_OK;
}

VORN_STATUS CAttributeCollectorLinux::getBIOSSerialNumber(std::list<CAttribute>& attributes) {
    std::list<std::wstring> names;
    std::list<WMIRow> rows;
    if (const VORN_STATUS status = RunStep(*m_wmi, eStep::BIOSSerialNumber, names, rows);
        status != VORN_OK) {
        return status;
    }
    const std::string serial = SerialText(rows.front().front().m_strValue);
    std::string encoded;
    if (Base64Encode(serial, encoded) != VORN_OK) {
        VORN_LOG_ERROR("Failed to encode BIOS serial number.");
        return VORN_FAILED;
    }
    VORN_LOG_DEBUG("Successfully encoded BIOS serial number %s. Encoded Value: %s",
                   EscapeUntrusted(serial).c_str(), encoded.c_str());
    attributes.emplace_back(AttributeTags::pszSerialNumber, eAttributeTypeString, encoded);
    return VORN_OK;
}

VORN_STATUS CAttributeCollectorLinux::getBIOSUUID(std::list<CAttribute>& attributes) {
    std::list<std::wstring> names;
    std::list<WMIRow> rows;
    if (const VORN_STATUS status = RunStep(*m_wmi, eStep::BIOSUUID, names, rows);
        status != VORN_OK) {
        return status;
    }
    const std::string uuid = WideToUTF8(rows.front().front().m_strValue);
    VORN_LOG_DEBUG("BIOS UUID: %s", EscapeUntrusted(uuid).c_str());
    attributes.emplace_back(AttributeTags::pszUUID, eAttributeTypeString, uuid);
    return VORN_OK;
}

VORN_STATUS CAttributeCollectorLinux::getPartitionID(std::list<CAttribute>& attributes) {
    std::list<std::wstring> names;
    std::list<WMIRow> rows;
    if (const VORN_STATUS status = RunStep(*m_wmi, eStep::SystemDrive, names, rows);
        status != VORN_OK) {
        return status;
    }
    const std::wstring drive = rows.front().front().m_strValue;
    const std::wstring volumeQuery =
        L"SELECT DeviceID FROM Win32_Volume WHERE DriveLetter='" + drive + L"'";
    if (const VORN_STATUS status =
            RunStep(*m_wmi, eStep::PartitionID, names, rows, volumeQuery.c_str());
        status != VORN_OK) {
        return status;
    }
    const std::string deviceId = WideToUTF8(rows.front().front().m_strValue);
    const size_t open = deviceId.find('{');
    const size_t close = open == std::string::npos ? open : deviceId.find('}', open + 1);
    if (close == std::string::npos) {
        VORN_LOG_ERROR("Malformed Partition ID retrieved");
        return VORN_INVALID_ARGUMENT;
    }
    const std::string partition = deviceId.substr(open + 1, close - open - 1);
    VORN_LOG_DEBUG("Partition ID: %s", EscapeUntrusted(partition).c_str());
    attributes.emplace_back(AttributeTags::pszPartitionID, eAttributeTypeString, partition);
    return VORN_OK;
}

VORN_STATUS CAttributeCollectorLinux::getDiskInfo(std::list<CAttribute>& attributes) {
    std::list<std::wstring> names;
    std::list<WMIRow> rows;
    if (const VORN_STATUS status = RunStep(*m_wmi, eStep::DiskInfo, names, rows);
        status != VORN_OK) {
        return status;
    }
    AttributeList disks;
    for (const WMIRow& row : rows) {
        AttributeList disk;
        bool abandoned = false;
        auto value = row.begin();
        for (auto name = names.begin(); name != names.end() && value != row.end() && !abandoned;
             ++name, ++value) {
            const std::string property = WideToUTF8(*name);
            if (property == "SerialNumber") {
                const std::string serial = SerialText(value->m_strValue);
                VORN_LOG_DEBUG("Serial Number of disk: %s", EscapeUntrusted(serial).c_str());
                std::string encoded;
                if (serial.empty()) {
                    abandoned = true;
                } else if (Base64Encode(serial, encoded) != VORN_OK) {
                    VORN_LOG_ERROR("Failed to encode Disk serial number.");
                    abandoned = true;
                } else {
                    VORN_LOG_DEBUG("Successfully encoded Disk serial number %s. Encoded Value: %s",
                                   EscapeUntrusted(serial).c_str(), encoded.c_str());
                    disk.emplace_back(AttributeTags::pszSerialNumber, eAttributeTypeString,
                                      encoded);
                }
            } else if (property == "MediaType") {
                const std::string media = WideToUTF8(value->m_strValue);
                if (media.find("Fixed") != std::string::npos) {
                    disk.emplace_back(AttributeTags::pszInternal, eAttributeTypeBool, "true");
                } else if (media.find("External") != std::string::npos ||
                           media.find("Removable") != std::string::npos) {
                    disk.emplace_back(AttributeTags::pszInternal, eAttributeTypeBool, "false");
                }
            }
        }
        if (!abandoned && !disk.empty()) {
            disks.emplace_back("", eAttributeTypeObject, Share(std::move(disk)));
        }
    }
    if (!disks.empty()) {
        attributes.emplace_back(AttributeTags::pszDiskList, eAttributeTypeArray,
                                Share(std::move(disks)));
    }
    return VORN_OK;
}

VORN_STATUS CAttributeCollectorLinux::getOSDetails(std::list<CAttribute>& attributes) {
    std::list<std::wstring> names;
    std::list<WMIRow> rows;
    if (const VORN_STATUS status = RunStep(*m_wmi, eStep::OSDetails, names, rows);
        status != VORN_OK) {
        return status;
    }
    auto value = rows.front().begin();
    for (auto name = names.begin(); name != names.end() && value != rows.front().end();
         ++name, ++value) {
        const std::string property = WideToUTF8(*name);
        std::string text = WideToUTF8(value->m_strValue);
        if (property == "BuildNumber") {
            attributes.emplace_back(AttributeTags::pszBuild, eAttributeTypeString, text);
        } else if (property == "OSArchitecture") {
            attributes.emplace_back(AttributeTags::pszArch, eAttributeTypeString, text);
        } else if (property == "Caption") {
            Trim(text);
            attributes.emplace_back(AttributeTags::pszName, eAttributeTypeString, text);
        } else if (property == "OSProductSuite") {
            attributes.emplace_back(AttributeTags::pszSuite, eAttributeTypeString, text);
        } else if (property == "Version") {
            std::string major, minor;
            SplitVersion(text, major, minor);
            attributes.emplace_back(AttributeTags::pszMajor, eAttributeTypeString, major);
            attributes.emplace_back(AttributeTags::pszMinor, eAttributeTypeString, minor);
        } else if (property == "ProductType") {
            attributes.emplace_back(AttributeTags::pszProductType, eAttributeTypeString, text);
        }
    }
    return VORN_OK;
}

// The kernel release distinguishes Linux machines where the distribution's
// version alone does not.
VORN_STATUS CAttributeCollectorLinux::getKernelRelease(std::list<CAttribute>& attributes) {
    std::list<std::wstring> names;
    std::list<WMIRow> rows;
    if (const VORN_STATUS status = RunStep(*m_wmi, eStep::KernelRelease, names, rows);
        status != VORN_OK) {
        return status;
    }
    const std::string kernel = WideToUTF8(rows.front().front().m_strValue);
    if (kernel.empty()) {
        VORN_LOG_ERROR("Empty list returned by WMI for Kernel Release.");
        return VORN_INVALID_ARGUMENT;
    }
    VORN_LOG_DEBUG("Kernel release: %s", EscapeUntrusted(kernel).c_str());
    attributes.emplace_back(AttributeTags::pszKernel, eAttributeTypeString, kernel);
    return VORN_OK;
}

VORN_STATUS CAttributeCollectorLinux::getFQDNComponents(std::list<CAttribute>& attributes) {
    std::list<std::wstring> names;
    std::list<WMIRow> rows;
    if (const VORN_STATUS status = RunStep(*m_wmi, eStep::FQDNComponents, names, rows);
        status != VORN_OK) {
        return status;
    }
    auto value = rows.front().begin();
    for (auto name = names.begin(); name != names.end() && value != rows.front().end();
         ++name, ++value) {
        const std::string property = WideToUTF8(*name);
        if (property == "DNSHostName") {
            attributes.emplace_back(AttributeTags::pszHostname, eAttributeTypeString,
                                    WideToUTF8(value->m_strValue));
        } else if (property == "Domain") {
            attributes.emplace_back(AttributeTags::pszDomainName, eAttributeTypeString,
                                    WideToUTF8(value->m_strValue));
        }
    }
    return VORN_OK;
}

VORN_STATUS CAttributeCollectorLinux::getIsVirtualMachine(std::list<CAttribute>& attributes) {
    std::list<std::wstring> names;
    std::list<WMIRow> rows;
    if (const VORN_STATUS status = RunStep(*m_wmi, eStep::SystemModel, names, rows);
        status != VORN_OK) {
        return status;
    }
    bool isVirtual = IsVirtualModel(rows.front().front().m_strValue);
    if (!isVirtual) {
        if (const VORN_STATUS status = RunStep(*m_wmi, eStep::DiskModel, names, rows);
            status != VORN_OK) {
            return status;
        }
        isVirtual = IsVirtualModel(rows.front().front().m_strValue);
    }
    attributes.emplace_back(AttributeTags::pszIsVirtual, eAttributeTypeBool,
                            isVirtual ? "true" : "false");
    return VORN_OK;
}

VORN_STATUS CAttributeCollectorLinux::getAdapterList(std::list<CAttribute>& attributes) {
    std::vector<NetworkAdapter> adapters;
    if (!m_spAdapters || m_spAdapters->GetAdapters(adapters) != VORN_OK) {
        return VORN_FAILED;
    }
    AttributeList list;
    for (const NetworkAdapter& adapter : adapters) {
        if (adapter.m_bLoopback || adapter.m_physicalAddress.empty()) {
            continue;
        }
        AttributeList children;
        std::string mac;
        FormatMACAddress(adapter.m_physicalAddress.data(),
                         static_cast<unsigned>(adapter.m_physicalAddress.size()), mac);
        children.emplace_back(AttributeTags::pszMac, eAttributeTypeString, mac);
        VORN_LOG_DEBUG("Adapter MAC Address : %s", EscapeUntrusted(mac).c_str());
        const char* active = adapter.m_bUp ? "true" : "false";
        children.emplace_back(AttributeTags::pszActive, eAttributeTypeBool, active);
        VORN_LOG_DEBUG("Adapter status , IsActive : %s", active);
        if (adapter.m_bHasDescription) {
            children.emplace_back(AttributeTags::pszAdapterName, eAttributeTypeString,
                                  adapter.m_strDescription);
            VORN_LOG_DEBUG("Adapter Name: %s", EscapeUntrusted(adapter.m_strDescription).c_str());
        }
        bool haveIpv4 = false;
        std::list<std::string> ipv6;
        for (const UnicastAddress& address : adapter.m_addresses) {
            std::string text;
            if (address.m_length == 0 || !AddressToString(address, text)) {
                continue;
            }
            const std::string prefix = "/" + std::to_string(address.m_prefixLength);
            if (address.m_address.ss_family == AF_INET) {
                if (haveIpv4 || text.compare(0, 7, "169.254") == 0) {
                    continue;
                }
                const std::string value = text + prefix;
                children.emplace_back(AttributeTags::pszIpv4, eAttributeTypeString, value);
                VORN_LOG_DEBUG("Adapter Ipv4 Address: %s", EscapeUntrusted(value).c_str());
                haveIpv4 = true;
            } else if (address.m_address.ss_family == AF_INET6) {
                const std::string value = text.substr(0, text.find('%')) + prefix;
                ipv6.push_back(value);
                VORN_LOG_DEBUG("Adapter Ipv6 Address: %s", EscapeUntrusted(value).c_str());
            }
        }
        if (!ipv6.empty()) {
            children.emplace_back(AttributeTags::pszIpv6, eAttributeTypeStringArray, ipv6);
        }
        list.emplace_back("", eAttributeTypeObject, Share(std::move(children)));
    }
    if (!list.empty()) {
        attributes.emplace_back(AttributeTags::pszAdapters, eAttributeTypeArray,
                                Share(std::move(list)));
    }
    return VORN_OK;
}

VORN_STATUS CAttributeCollectorLinux::getOXAGUID(std::list<CAttribute>& attributes) {
    constexpr uint32_t kBufferBytes = 100;
    unsigned char buffer[kBufferBytes] = {};
    uint32_t length = kBufferBytes;
    uint32_t type = REG_NONE;
    VORN_STATUS status = GetRegistryValue(RegistryRoot::LocalMachine, g_wszOXAKey,
                                          g_wszOXAValueName, buffer, &length, &type, true);
    std::string guid;
    if (status != VORN_OK || type != REG_SZ) {
        length = kBufferBytes;
        type = REG_NONE;
        status = GetRegistryValue(RegistryRoot::LocalMachine, g_wszOXAKey, g_wszOXAValueName,
                                  buffer, &length, &type, false);
    }
    if (status != VORN_OK || type != REG_SZ) {
        VORN_LOG_ERROR("Failed to open registry keys to retrieve oxa guid");
    } else {
        guid = WideToUTF8(UTF16LEToWide(buffer, std::min(length, kBufferBytes)));
    }
    if (!guid.empty()) {
        VORN_LOG_VERBOSE("OXA GUID retrieved: %s", EscapeUntrusted(guid).c_str());
        AttributeList children;
        children.emplace_back(AttributeTags::pszUUID, eAttributeTypeString, guid);
        attributes.emplace_back(AttributeTags::pszOXA, eAttributeTypeObject,
                                Share(std::move(children)));
    }
    return status;
}

VORN_STATUS CAttributeCollectorLinux::getMVUDID(std::list<CAttribute>& attributes) {
    if (!IsMarovellinInstalled(m_strSysRoot)) {
        VORN_LOG_WARNING("MV not installed failed to retrieve MV UDID.");
        return VORN_FAILED;
    }
    std::vector<unsigned char> bytes;
    if (getDeviceID(bytes) != VORN_OK) {
        VORN_LOG_WARNING("failed to retrieve MV UDID.");
        return VORN_FAILED;
    }
    std::string udid;
    if (bytes.empty()) {
        udid = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
    } else if (GetSHA1Hash(bytes.data(), bytes.size(), udid) != VORN_OK) {
        VORN_LOG_ERROR("getSHA1Hash failed.");
        return VORN_FAILED;
    }
    if (!udid.empty()) {
        VORN_LOG_DEBUG("MV UDID retrieved: %s", EscapeUntrusted(udid).c_str());
        AttributeList children;
        children.emplace_back(AttributeTags::pszUDID, eAttributeTypeString, udid);
        attributes.emplace_back(AttributeTags::pszMarovellin, eAttributeTypeObject,
                                Share(std::move(children)));
    }
    return VORN_OK;
}

}  // namespace vorn
