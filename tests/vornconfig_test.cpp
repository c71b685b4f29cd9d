#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "agent/vornconfig.h"
#include "common/vornpath.h"
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
    (void)SetVORNConfigDirectory(dir.path());
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
                                 {"f: vorn::CVORNConfig::parseBootstrapConfig S: error :: File "
                                  "open failed for DIR/bs.json \n",
                                  "f: vorn::CVORNConfig::parseIdentityConfig S: error :: File open "
                                  "failed for DIR/id.json \n"},
                                 {}},
                      // The error names the file and the place, never the text: the
                      // bootstrap file holds the installer key.
                      ConfigCase{"NotJson",
                                 "{\"id\": {\"installer_key\": \"S3CRET\",\r\n"
                                 "  \"url\": broken}}",
                                 "[1,2",
                                 "",
                                 "",
                                 "",
                                 false,
                                 {"f: vorn::CVORNConfig::parseBootstrapConfig S: error :: "
                                  "Couldn't parse json : DIR/bs.json (line 2, column 10) \n",
                                  "f: vorn::CVORNConfig::parseIdentityConfig S: error :: "
                                  "Couldn't parse json : DIR/id.json (line 1, column 4) \n"},
                                 {"S3CRET", "broken", "[1,2"}},
                      ConfigCase{"EmptyFiles",
                                 "",
                                 "\n\n",
                                 "",
                                 "",
                                 "",
                                 false,
                                 {"Couldn't parse json : DIR/bs.json (line 1, column 1) \n",
                                  "Couldn't parse json : DIR/id.json (line 2, column 1) \n"},
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

// Anything but a regular file is a file that cannot be opened, and opening
// it must not block (a FIFO without a writer would otherwise hang start-up).
TEST(ConfigFileKinds, OnlyRegularFilesAreRead) {
    const struct {
        const char* name;
        std::function<void(const std::string&)> make;
    } cases[] = {
        {"fifo", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }},
        {"directory", [](const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0700), 0); }},
        {"dangling link",
         [](const std::string& path) { ASSERT_EQ(symlink("/nonexistent", path.c_str()), 0); }},
    };
    for (const auto& c : cases) {
        TempDir dir;
        c.make(dir.file("bs.json"));
        WriteFile(dir.file("id.json"), "{\"id\":{\"enable_verbose_logs\":true}}");
        (void)SetVORNConfigDirectory(dir.path());
        const size_t mark = LogMark();
        CVORNConfig config;
        const std::string log = LogSince(mark);
        EXPECT_NE(log.find("S: error :: File open failed for " + dir.path() + "/bs.json \n"),
                  std::string::npos)
            << c.name << "\n"
            << log;
        EXPECT_EQ(log.find("Couldn't parse json"), std::string::npos) << c.name;
        EXPECT_TRUE(config.m_bEnableVerboseLogs) << c.name;
    }
}

// The directory comes from the command line as bytes: a name that is not
// UTF-8 is used as it is, and its control characters never reach the log raw.
TEST(ConfigDirectoryBytes, UsedAsGivenAndEscapedInTheLog) {
    TempDir dir;
    const std::string latin1 = dir.file("conf\xE9");  // ISO 8859-1 e-acute
    ASSERT_EQ(mkdir(latin1.c_str(), 0700), 0);
    WriteFile(latin1 + "/bs.json", kGoodBs);
    WriteFile(latin1 + "/id.json", "{\"id\":{}}");
    (void)SetVORNConfigDirectory(latin1);
    CVORNConfig config;
    EXPECT_EQ(config.m_strBusinessId, "B1");

    const std::string forged = dir.file("x\n[forged] S: error :: \x1b[2J");
    (void)SetVORNConfigDirectory(forged);
    const size_t mark = LogMark();
    CVORNConfig missing;
    const std::string log = LogSince(mark);
    EXPECT_NE(log.find("File open failed for " + dir.path() +
                       "/x\\n[forged] S: error :: \\x1b[2J/bs.json \n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    EXPECT_EQ(log.find("\n[forged]"), std::string::npos);
    (void)SetVORNConfigDirectory(std::string());
}

TEST(ConfigEmptyDirectory, LogsAndReadsNothing) {
    (void)SetVORNConfigDirectory(std::string());
    const size_t mark = LogMark();
    CVORNConfig config;
    EXPECT_EQ(config.m_strUrl, "");
    EXPECT_FALSE(config.m_bEnableVerboseLogs);
    const std::string log = LogSince(mark);
    EXPECT_NE(log.find("S: error :: Empty Config Directory Path. \n"), std::string::npos);
    EXPECT_EQ(log.find("File open failed"), std::string::npos);
}

}  // namespace

// The device key settings: absent means off and silent; a value that is
// neither "none" nor "tpm" stops requests rather than sending them unbound.
TEST(ConfigDeviceKey, ReadsTheSettingsAndRefusesUnknownValues) {
    const struct {
        const char* members;
        CVORNConfig::DeviceKey key;
        const char* tcti;
        int timeout;
        const char* logged;  // nullptr: nothing logged
    } cases[] = {
        {"", CVORNConfig::DeviceKey::kNone, "", 10, nullptr},
        {R"(,"device_key":"none")", CVORNConfig::DeviceKey::kNone, "", 10, nullptr},
        {R"(,"device_key":"tpm","tpm_tcti":"swtpm:port=1","tpm_timeout_seconds":3)",
         CVORNConfig::DeviceKey::kTpm, "swtpm:port=1", 3, nullptr},
        {R"(,"device_key":"TPM")", CVORNConfig::DeviceKey::kInvalid, "", 10,
         "device_key must be \"none\" or \"tpm\""},
        {R"(,"device_key":true)", CVORNConfig::DeviceKey::kInvalid, "", 10,
         "device_key must be \"none\" or \"tpm\""},
        {R"(,"device_key":"tpm","tpm_tcti":"")", CVORNConfig::DeviceKey::kTpm, "", 10,
         "tpm_tcti must be a non-empty string"},
        {R"(,"device_key":"tpm","tpm_timeout_seconds":0)", CVORNConfig::DeviceKey::kTpm, "", 10,
         "tpm_timeout_seconds must be a whole number from 1 to 300"},
        {R"(,"tpm_timeout_seconds":301.5)", CVORNConfig::DeviceKey::kNone, "", 10,
         "tpm_timeout_seconds must be a whole number from 1 to 300"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        WriteFile(dir.file("id.json"),
                  std::string(R"({"id":{"enable_verbose_logs":true)") + c.members + "}}");
        (void)SetVORNConfigDirectory(dir.path());
        const size_t mark = LogMark();
        const CVORNConfig config;
        const std::string log = LogSince(mark);
        EXPECT_EQ(config.m_eDeviceKey, c.key) << c.members;
        EXPECT_EQ(config.m_strTpmTcti, c.tcti) << c.members;
        EXPECT_EQ(config.m_nTpmTimeoutSeconds, c.timeout) << c.members;
        if (c.logged == nullptr) {
            // Only the missing bs.json is reported.
            EXPECT_EQ(log.find("device_key"), std::string::npos) << c.members << log;
            EXPECT_EQ(log.find("tpm_"), std::string::npos) << c.members << log;
        } else {
            EXPECT_NE(log.find(c.logged), std::string::npos) << c.members << log;
        }
    }
}
