// The attribute record and the tag-to-section table.
#include <gtest/gtest.h>

#include "agent/attribute.h"

namespace vorn {
namespace {

TEST(Attribute, CopiesShareTheirChildren) {
    auto children = std::make_shared<std::list<CAttribute>>();
    children->emplace_back(AttributeTags::pszUDID, eAttributeTypeString, "");
    const CAttribute original(AttributeTags::pszMarovellin, eAttributeTypeObject, children);
    const CAttribute copy = original;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(copy.m_spChildren.get(), original.m_spChildren.get());
    EXPECT_TRUE(copy.m_lstValues.empty());
    ASSERT_EQ(copy.m_spChildren->size(), 1u);
    // An empty value is still a value.
    EXPECT_EQ(copy.m_spChildren->front().m_lstValues, std::list<std::string>{""});
    EXPECT_EQ(copy.m_spChildren->front().m_spChildren, nullptr);
}

TEST(Attribute, SectionTableHasExactlyTheTopLevelTags) {
    const std::map<std::string, std::string> expected = {
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
    EXPECT_EQ(g_mapAttributeSection, expected);
    for (const char* nested : {"internal", "mac", "active", "ipv4", "ipv6", "udid"}) {
        EXPECT_EQ(g_mapAttributeSection.count(nested), 0u) << nested;
    }
}

}  // namespace
}  // namespace vorn
