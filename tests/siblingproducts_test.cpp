// Sibling products over registry fixtures: the endpoint-protection GUID, the
// VPN client's digest input and its installation markers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "agent/linux/attributecollectorlinux.h"
#include "agent/siblingproducts.h"
#include "tests/attribute_test_util.h"
#include "tests/support/testsupport.h"

namespace vorn::test {
namespace {

const std::string kHeader = "Windows Registry Editor Version 5.00\n\n";
const std::string kOXA64 = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brevane Protect]\n";
const std::string kOXA32 = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Brevane Protect]\n";
const std::string kDetails =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Zanto\\Zanto Marovellin Roaming "
    "Client\\DeviceDetails]\n";

struct Result {
    std::vector<std::string> m_lines;  // "oxa"/"marovellin" attributes only
    std::string m_log;
};

// Collects from an empty system root (plus the VPN client's marker when asked)
// with 'registry' as the only hive file.
Result CollectProducts(const std::string& registry, bool installed) {
    TempDir root, hive;
    WriteFile(hive.file("products.reg"), kHeader + registry);
    if (installed) {
        EXPECT_EQ(system(("mkdir -p " + root.file("usr/lib/zanto/marovellin")).c_str()), 0);
        WriteFile(root.file("usr/lib/zanto/marovellin/mvlinkd"), "");
    }
    ScopedEnv env("VORN_REGISTRY_DIR", hive.path());
    CAttributeCollectorLinux collector(
        root.path(), std::make_shared<FakeAdapters>(std::vector<NetworkAdapter>{}),
        std::make_shared<FakeHostNames>("", ""));
    std::list<CAttribute> attributes;
    const size_t mark = LogMark();
    EXPECT_EQ(collector.GetAttributeList(attributes), VORN_OK);
    std::list<CAttribute> products;
    for (const CAttribute& attribute : attributes) {
        if (attribute.m_strTag == "oxa" || attribute.m_strTag == "marovellin") {
            products.push_back(attribute);
        }
    }
    return {Flatten(products), LogSince(mark)};
}

bool Has(const std::string& log, const std::string& text) {
    return log.find(text) != std::string::npos;
}

TEST(SiblingProducts, OXAGuidFromEitherViewOrNotAtAll) {
    const std::string guid = "\"guid\"=\"{0A1B2C3D-0000-4000-8000-00000000ABCD}\"\n";
    const std::vector<std::string> found = {"oxa 3",
                                            "  uuid 1 {0A1B2C3D-0000-4000-8000-00000000ABCD}"};

    Result r = CollectProducts(kOXA64 + guid, false);
    EXPECT_EQ(r.m_lines, found);
    EXPECT_FALSE(Has(r.m_log, "Failed to retrieve OXA GUID"));

    r = CollectProducts(kOXA32 + guid, false);  // 32-bit view only
    EXPECT_EQ(r.m_lines, found);
    EXPECT_FALSE(Has(r.m_log, "retrieve oxa guid"));

    r = CollectProducts("", false);
    EXPECT_TRUE(r.m_lines.empty());
    EXPECT_TRUE(Has(r.m_log, "Failed to open registry keys to retrieve oxa guid"));
    EXPECT_TRUE(Has(r.m_log, "Failed to retrieve OXA GUID"));

    // The last read finds a value of the wrong type: the error line, but a result of 0.
    r = CollectProducts(kOXA32 + "\"guid\"=dword:00000001\n", false);
    EXPECT_TRUE(r.m_lines.empty());
    EXPECT_TRUE(Has(r.m_log, "Failed to open registry keys to retrieve oxa guid"));
    EXPECT_FALSE(Has(r.m_log, "Failed to retrieve OXA GUID"));

    // 49 characters + terminator = exactly 100 bytes: no room, refused.
    r = CollectProducts(kOXA64 + "\"guid\"=\"" + std::string(49, 'g') + "\"\n", false);
    EXPECT_TRUE(r.m_lines.empty());
    EXPECT_TRUE(Has(r.m_log, "Failed to retrieve OXA GUID"));
    r = CollectProducts(kOXA64 + "\"guid\"=\"" + std::string(48, 'g') + "\"\n", false);
    EXPECT_EQ(r.m_lines, (std::vector<std::string>{"oxa 3", "  uuid 1 " + std::string(48, 'g')}));
}

TEST(SiblingProducts, DigestInputOrderAndOptionalParts) {
    std::vector<unsigned char> bytes;
    TempDir hive;
    ScopedEnv env("VORN_REGISTRY_DIR", hive.path());
    const struct {
        const char* m_szName;
        std::string m_strValues;
        std::vector<unsigned char> m_expected;
    } cases[] = {
        {"all parts",
         "\"Sid\"=hex:53,53\n\"DigitalProductId\"=hex:44\n\"DigitalProductId4\"=hex:34,34\n"
         "\"Nonce\"=dword:01020304\n",
         {0x04, 0x03, 0x02, 0x01, 0x34, 0x34, 0x44, 0x53, 0x53}},
        {"spec example",
         "\"Sid\"=hex:53\n\"DigitalProductId\"=hex:44\n\"Nonce\"=dword:00000001\n",
         {1, 0, 0, 0, 0x44, 0x53}},
        {"nonce as qword and product id as text are ignored",
         "\"Sid\"=hex:53\n\"DigitalProductId\"=\"D\"\n\"Nonce\"=hex(b):01,00,00,00,00,00,00,00\n",
         {0x53}},
        {"nonce as binary is ignored", "\"Sid\"=hex:53\n\"Nonce\"=hex:01,00,00,00\n", {0x53}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.m_szName);
        WriteFile(hive.file("d.reg"), kHeader + kDetails + c.m_strValues);
        ASSERT_EQ(getDeviceID(bytes), VORN_OK);
        EXPECT_EQ(bytes, c.m_expected);
    }
}

TEST(SiblingProducts, UnreadableSidCostsTheIdentifier) {
    const struct {
        const char* m_szName;
        std::string m_strRegistry;
        const char* m_szLog;
    } cases[] = {
        {"no key", "", "RegOpenKeyEx failed"},
        {"no sid", kDetails + "\"DigitalProductId\"=hex:44\n", "QueryBinaryValue failed"},
        {"sid as text", kDetails + "\"Sid\"=\"S-1-5\"\n", "QueryBinaryValue failed"},
        {"zero-size sid", kDetails + "\"Sid\"=hex:\n",
         "CRegKey::QueryBinaryValue returned zero value size"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.m_szName);
        const Result r = CollectProducts(c.m_strRegistry, true);
        EXPECT_TRUE(r.m_lines.empty());
        size_t at = 0;
        for (const char* text : {c.m_szLog, "Failed to retrieve device details from cache",
                                 "failed to retrieve MV UDID.", "Failed to retrieve MV UDID"}) {
            at = r.m_log.find(text, at);
            ASSERT_NE(at, std::string::npos) << text << "\n" << r.m_log;
        }
    }
}

TEST(SiblingProducts, InstalledClientGetsItsIdentifier) {
    const Result r = CollectProducts(kDetails +
                                         "\"Sid\"=hex:01,05,00,00\n"
                                         "\"DigitalProductId\"=hex:aa,bb\n"
                                         "\"Nonce\"=dword:00000001\n",
                                     true);
    EXPECT_EQ(r.m_lines, (std::vector<std::string>{
                             "marovellin 3", "  udid 1 d65a0e2aad9f66ca7f7ac6d1261e59c00876f8aa"}));
    const Result absent = CollectProducts(kDetails + "\"Sid\"=hex:01\n", false);
    EXPECT_TRUE(absent.m_lines.empty());
    EXPECT_TRUE(Has(absent.m_log, "MV not installed failed to retrieve MV UDID."));
}

TEST(SiblingProducts, InstallationMarkers) {
    TempDir root;
    EXPECT_FALSE(IsMarovellinInstalled(root.path()));
    // A file where a directory of the path should be is "not found".
    WriteFile(root.file("opt"), "");
    EXPECT_FALSE(IsMarovellinInstalled(root.path()));
    ASSERT_EQ(system(("mkdir -p " + root.file("usr/lib/zanto/marovellin")).c_str()), 0);
    WriteFile(root.file("usr/lib/zanto/marovellin/mvlinkd"), "");
    EXPECT_TRUE(IsMarovellinInstalled(root.path()));
    // A path too long to test fails with ENAMETOOLONG: counted as present.
    EXPECT_TRUE(IsMarovellinInstalled(root.path() + "/" + std::string(5000, 'x')));
}

}  // namespace
}  // namespace vorn::test
