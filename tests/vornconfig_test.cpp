#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/vornconfig.h"
#include "common/vornpath.h"
#include "common/vornutils.h"
#include "tests/support/testsupport.h"

using namespace vorn;
using vorn::test::LogMark;
using vorn::test::LogSince;
using vorn::test::TempDir;
using vorn::test::WriteFile;

namespace {

struct ConfigCase {
    const char* name;
    const char* bs;  // nullptr: no file
    const char* id;  // nullptr: no file
    std::string business, key, url;
    bool verbose;
    std::vector<std::string> logged;     // texts that must appear
    std::vector<std::string> notLogged;  // texts that must not
};

class ConfigTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigTest, ReadsValuesAndLogsProblems) {
    const ConfigCase& c = GetParam();
    TempDir dir;
    if (c.bs != nullptr) {
        WriteFile(dir.file("bs.json"), c.bs);
    }
    if (c.id != nullptr) {
        WriteFile(dir.file("id.json"), c.id);
    }
    (void)SetVORNConfigDirectory(UTF8ToWide(dir.path()));
    const size_t mark = LogMark();
    CVORNConfig config;
    const std::string log = LogSince(mark);
    EXPECT_EQ(config.m_strBusinessId, c.business);
    EXPECT_EQ(config.m_strInstallerKey, c.key);
    EXPECT_EQ(config.m_strUrl, c.url);
    EXPECT_EQ(config.m_bEnableVerboseLogs, c.verbose);
    for (const std::string& text : c.logged) {
        std::string expected = text;
        if (expected.find("DIR") != std::string::npos) {
            expected.replace(expected.find("DIR"), 3, dir.path());
        }
        EXPECT_NE(log.find(expected), std::string::npos) << expected << "\n" << log;
    }
    for (const std::string& text : c.notLogged) {
        EXPECT_EQ(log.find(text), std::string::npos) << text << "\n" << log;
    }
}

const char kGoodBs[] =
    "{\n  \"id\": {\n    \"business_id\": \"B1\",\n    \"installer_key\": \"K1\",\n"
    "    \"URL\": \"https://host/path\"\n  }\n}\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigTest,
    ::testing::Values(ConfigCase{"MultiLineFilesAndCaseInsensitiveKeys",
                                 kGoodBs,
                                 "{\"id\":{\"enable_verbose_logs\":true}}",
                                 "B1",
                                 "K1",
                                 "https://host/path",
                                 true,
                                 {},
                                 {"warning", "error"}},
                      ConfigCase{"MissingFiles",
                                 nullptr,
                                 nullptr,
                                 "",
                                 "",
                                 "",
                                 false,
                                 {"S: error :: File open failed for DIR/bs.json \n",
                                  "S: error :: File open failed for DIR/id.json \n"},
                                 {}},
                      ConfigCase{"NotJson",
                                 "{\"id\":\n{broken",
                                 "[1,2",
                                 "",
                                 "",
                                 "",
                                 false,
                                 {"S: error :: Couldn't parse json : {\"id\":{broken \n",
                                  "S: error :: Couldn't parse json : [1,2 \n"},
                                 {}},
                      ConfigCase{"NoIdMember",
                                 "{\"other\":{}}",
                                 "{}",
                                 "",
                                 "",
                                 "",
                                 false,
                                 {"S: warning :: Empty bootstrap config encountered. \n",
                                  "S: warning :: Empty identity config encountered. \n"},
                                 {"not found in config"}},
                      ConfigCase{"MistypedAndMissingKeys",
                                 "{\"id\":{\"business_id\":42,\"url\":\"u\"}}",
                                 "{\"id\":{\"enable_verbose_logs\":\"true\"}}",
                                 "",
                                 "",
                                 "u",
                                 false,
                                 {"S: warning :: Couldn't read business id value from config. \n",
                                  "S: warning :: Install key not found in config. \n"},
                                 {"URL not found", "enable_verbose_logs key not found"}},
                      ConfigCase{"EveryBootstrapKeyMistyped",
                                 "{\"id\":{\"business_id\":null,\"installer_key\":[],\"url\":{}}}",
                                 "{\"id\":{}}",
                                 "",
                                 "",
                                 "",
                                 false,
                                 {"Couldn't read business id value from config.",
                                  "Couldn't read Install key value from config.",
                                  "Couldn't read URL value from config.",
                                  "S: warning :: enable_verbose_logs key not found in config. \n"},
                                 {}},
                      ConfigCase{"AllKeysMissing",
                                 "{\"id\":{}}",
                                 "{\"id\":{\"enable_verbose_logs\":1}}",
                                 "",
                                 "",
                                 "",
                                 false,
                                 {"Business id not found in config.",
                                  "Install key not found in config.", "URL not found in config."},
                                 {}}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) { return info.param.name; });

TEST(ConfigEmptyDirectory, LogsAndReadsNothing) {
    (void)SetVORNConfigDirectory(L"");
    const size_t mark = LogMark();
    CVORNConfig config;
    EXPECT_EQ(config.m_strUrl, "");
    EXPECT_FALSE(config.m_bEnableVerboseLogs);
    const std::string log = LogSince(mark);
    EXPECT_NE(log.find("S: error :: Empty Config Directory Path. \n"), std::string::npos);
    EXPECT_EQ(log.find("File open failed"), std::string::npos);
}

}  // namespace
