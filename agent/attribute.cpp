#include "agent/attribute.h"

namespace vorn {

CAttribute::CAttribute(const std::string& tag, eAttributeType type, const std::string& value)
    : m_strTag(tag), m_eType(type), m_lstValues{value} {}

CAttribute::CAttribute(const std::string& tag, eAttributeType type,
                       const std::list<std::string>& values)
    : m_strTag(tag), m_eType(type), m_lstValues(values) {}

CAttribute::CAttribute(const std::string& tag, eAttributeType type,
                       std::shared_ptr<std::list<CAttribute>> children)
    : m_strTag(tag), m_eType(type), m_spChildren(std::move(children)) {}

const std::map<std::string, std::string> g_mapAttributeSection = {
    {"serial_number", "hardware"},
    {"uuid", "hardware"},
    {"disk_list", "hardware"},
    {"adapters", "os"},
    {"partition_id", "os"},
    {"hostname", "os"},
    {"domainname", "os"},
    {"major", "os"},
    {"minor", "os"},
    {"patch_version", "os"},
    {"build", "os"},
    {"arch", "os"},
    {"name", "os"},
    {"suite", "os"},
    {"product_type", "os"},
    {"kernel", "os"},
    {"is_virtual", "misc"},
    {"oxa", "product"},
    {"marovellin", "product"},
};

}  // namespace vorn
