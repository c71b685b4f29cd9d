// One device attribute, the tag constants, and the tag-to-section table that
// places each top-level attribute in the identity request document.
#pragma once

#include <list>
#include <map>
#include <memory>
#include <string>

#include "common/vornstatus.h"

namespace vorn {

enum eAttributeType : int32_t {
    eAttributeTypeNull = 0,
    eAttributeTypeString = 1,
    eAttributeTypeBool = 2,         // "true" or "false" in the first value
    eAttributeTypeObject = 3,       // children in m_spChildren
    eAttributeTypeArray = 4,        // children in m_spChildren, each an unnamed object
    eAttributeTypeStringArray = 5,  // every value, in order
};

// A tagged value. Copies share the (never modified) child list.
struct CAttribute {
    CAttribute(const std::string& tag, eAttributeType type, const std::string& value);
    CAttribute(const std::string& tag, eAttributeType type, const std::list<std::string>& values);
    CAttribute(const std::string& tag, eAttributeType type,
               std::shared_ptr<std::list<CAttribute>> children);

    std::string m_strTag;  // empty for the unnamed elements of an attribute array
    eAttributeType m_eType = eAttributeTypeNull;
    std::list<std::string> m_lstValues;
    std::shared_ptr<std::list<CAttribute>> m_spChildren;
};

namespace AttributeTags {
inline constexpr const char* pszSerialNumber = "serial_number";
inline constexpr const char* pszUUID = "uuid";
inline constexpr const char* pszDiskList = "disk_list";
inline constexpr const char* pszPartitionID = "partition_id";
inline constexpr const char* pszHostname = "hostname";
inline constexpr const char* pszDomainName = "domainname";
inline constexpr const char* pszMajor = "major";
inline constexpr const char* pszMinor = "minor";
inline constexpr const char* pszPatchVersion = "patch_version";
inline constexpr const char* pszBuild = "build";
inline constexpr const char* pszArch = "arch";
inline constexpr const char* pszName = "name";
inline constexpr const char* pszSuite = "suite";
inline constexpr const char* pszKernel = "kernel";
inline constexpr const char* pszProductType = "product_type";
inline constexpr const char* pszIsVirtual = "is_virtual";
inline constexpr const char* pszInternal = "internal";
inline constexpr const char* pszAdapters = "adapters";
inline constexpr const char* pszAdapterName = "name";
inline constexpr const char* pszMac = "mac";
inline constexpr const char* pszActive = "active";
inline constexpr const char* pszIpv4 = "ipv4";
inline constexpr const char* pszIpv6 = "ipv6";
inline constexpr const char* pszOXA = "oxa";
inline constexpr const char* pszMarovellin = "marovellin";
inline constexpr const char* pszUDID = "udid";
inline constexpr const char* pszHardware = "hardware";
inline constexpr const char* pszOS = "os";
inline constexpr const char* pszMisc = "misc";
inline constexpr const char* pszProduct = "product";
}  // namespace AttributeTags

// Top-level tag -> request section ("hardware", "os", "misc", "product").
// Built during static initialisation and never modified.
extern const std::map<std::string, std::string> g_mapAttributeSection;

// The platform's source of device attributes.
class IAttributeCollector {
public:
    // Empties 'attributes', then appends the device's attributes.
    virtual VORN_STATUS GetAttributeList(std::list<CAttribute>& attributes) = 0;
    virtual ~IAttributeCollector() = default;
};

}  // namespace vorn
