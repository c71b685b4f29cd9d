#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/registryhive.h"
#include "common/vornpath.h"
#include "common/vornutils.h"
#include "tests/support/testsupport.h"

using namespace vorn;
using vorn::test::ScopedEnv;
using vorn::test::TempDir;
using vorn::test::WriteFile;

namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00\n\n";

// A registry directory holding the given files.
class RegistryFixture : public ::testing::Test {
protected:
    void Write(const std::string& name, const std::string& body) {
        WriteFile(m_dir.file(name), kHeader + body);
    }
    TempDir m_dir;
    ScopedEnv m_env{"VORN_REGISTRY_DIR", m_dir.path()};
};

TEST_F(RegistryFixture, ParsesEveryValueKind) {
    Write("a.reg",
          "; a comment\n"
          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n"
          "\"Text\"=\"C:\\\\dir \\\"q\\\"\"\n"
          "\"Number\"=dword:0000002a\n"
          "\"Bytes\"=hex:01,02,ff\n"
          "\"Quad\"=hex(b):01,00,00,00,00,00,00,00\n"
          "\"Multi\"=hex(7):61,00,00,00,\\\n"
          "  00,00\n");
    struct Case {
        const wchar_t* name;
        uint32_t type;
        std::vector<unsigned char> data;
        uint32_t length;  // after the call
    };
    const Case cases[] = {
        {L"text", REG_SZ, {}, 0},
        {L"Number", REG_DWORD, {0x2a, 0, 0, 0}, 4},
        {L"Bytes", REG_BINARY, {1, 2, 0xff}, 3},
        {L"Quad", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}, 8},
        {L"Multi", REG_MULTI_SZ, {0x61, 0, 0, 0, 0, 0}, 7},
    };
    for (const Case& c : cases) {
        unsigned char buffer[64] = {};
        uint32_t length = sizeof buffer;
        uint32_t type = 0;
        ASSERT_EQ(GetRegistryValue(RegistryRoot::LocalMachine, L"Software\\test", c.name, buffer,
                                   &length, &type, true),
                  VORN_OK);
        EXPECT_EQ(type, c.type);
        if (c.type == REG_SZ) {
            EXPECT_EQ(WideToUTF8(UTF16LEToWide(buffer, length)), "C:\\dir \"q\"");
            EXPECT_EQ(length, (strlen("C:\\dir \"q\"") + 1) * 2 + 1);
        } else {
            EXPECT_EQ(length, c.length);
            EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + c.data.size()), c.data);
        }
    }
}

TEST_F(RegistryFixture, SizeBoundariesAndArguments) {
    // 2046 characters + terminator = 4094 bytes: accepted. 2047 + 1 = 4096: refused.
    Write("a.reg", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n\"Ok\"=\"" + std::string(2046, 'a') +
                       "\"\n\"Full\"=\"" + std::string(2047, 'b') + "\"\n\"Big\"=\"" +
                       std::string(3000, 'c') + "\"\n");
    unsigned char buffer[4096];
    uint32_t type = 0;
    uint32_t length = sizeof buffer;
    EXPECT_EQ(GetRegistryValue(RegistryRoot::LocalMachine, L"SOFTWARE\\T", L"Ok", buffer, &length,
                               &type, true),
              VORN_OK);
    EXPECT_EQ(length, 4095u);
    length = sizeof buffer;
    EXPECT_EQ(GetRegistryValue(RegistryRoot::LocalMachine, L"SOFTWARE\\T", L"Full", buffer, &length,
                               &type, true),
              VORN_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 4097u);
    length = sizeof buffer;
    EXPECT_EQ(GetRegistryValue(RegistryRoot::LocalMachine, L"SOFTWARE\\T", L"Big", buffer, &length,
                               &type, true),
              VORN_FAILED);
    length = 0;
    EXPECT_EQ(GetRegistryValue(RegistryRoot::LocalMachine, L"SOFTWARE\\T", L"Ok", buffer, &length,
                               &type, true),
              VORN_INVALID_ARGUMENT);
    length = 8;
    EXPECT_EQ(GetRegistryValue(RegistryRoot::LocalMachine, L"SOFTWARE\\T", L"Ok", nullptr, &length,
                               &type, true),
              VORN_INVALID_ARGUMENT);
    length = sizeof buffer;
    EXPECT_EQ(GetRegistryValue(RegistryRoot::LocalMachine, L"SOFTWARE\\T", L"Missing", buffer,
                               &length, &type, true),
              VORN_FAILED);
}

TEST_F(RegistryFixture, ViewsAndMergeOrder) {
    Write("10-base.reg",
          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Vendor]\n\"V\"=dword:00000020\n"
          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\n\"V\"=dword:00000040\n\"Gone\"=dword:1\n");
    Write("20-override.reg",
          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\n\"V\"=dword:00000041\n\"Gone\"=-\n");
    unsigned char buffer[8];
    uint32_t type = 0;
    uint32_t length = sizeof buffer;
    ASSERT_EQ(GetRegistryValue(RegistryRoot::LocalMachine, L"SOFTWARE\\Vendor", L"V", buffer,
                               &length, &type, true),
              VORN_OK);
    EXPECT_EQ(buffer[0], 0x41);
    length = sizeof buffer;
    ASSERT_EQ(GetRegistryValue(RegistryRoot::LocalMachine, L"SOFTWARE\\Vendor", L"V", buffer,
                               &length, &type, false),
              VORN_OK);
    EXPECT_EQ(buffer[0], 0x20);
    length = sizeof buffer;
    EXPECT_EQ(GetRegistryValue(RegistryRoot::LocalMachine, L"SOFTWARE\\Vendor", L"Gone", buffer,
                               &length, &type, true),
              VORN_FAILED);
}

TEST(RegistryHive, MalformedLinesAreReportedAndSkipped) {
    CRegistryHive hive;
    std::vector<std::string> errors;
    hive.Merge(std::string(kHeader) +
                   "\"Orphan\"=\"x\"\n"
                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\n"
                   "\"A\"=dword:zz\n"
                   "\"B\"=hex:1,2\n"
                   "\"C\"=\"unterminated\n"
                   "\"D\"=bogus\n"
                   "[broken\n"
                   "\"E\"=\"fine\"\n",
               "f.reg", errors);
    EXPECT_EQ(errors.size(), 7u);
    EXPECT_EQ(errors.front(), "f.reg:3: value outside a key");
    EXPECT_EQ(errors.back(), "f.reg:10: value outside a key");
    EXPECT_EQ(hive.Find("HKEY_LOCAL_MACHINE\\SOFTWARE\\K", "A"), nullptr);

    CRegistryHive noHeader;
    errors.clear();
    noHeader.Merge("[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\n\"E\"=\"x\"\n", "g.reg", errors);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(noHeader.Find("HKEY_LOCAL_MACHINE\\SOFTWARE\\K", "E"), nullptr);
}

TEST(RegistryHive, CommentLinesNeverContinue) {
    CRegistryHive hive;
    std::vector<std::string> errors;
    hive.Merge(std::string(kHeader) +
                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\n"
                   "; \"Old\"=hex:01,02,\\\n"
                   "\"After\"=\"kept\"\n"
                   "  ;indented = comment \\\n"
                   "\"Also\"=dword:00000001\n",
               "c.reg", errors);
    EXPECT_TRUE(errors.empty()) << errors.front();
    EXPECT_NE(hive.Find("HKEY_LOCAL_MACHINE\\SOFTWARE\\K", "After"), nullptr);
    EXPECT_NE(hive.Find("HKEY_LOCAL_MACHINE\\SOFTWARE\\K", "Also"), nullptr);
}

// A FIFO or a directory named like a hive file is reported and skipped,
// without blocking, and the other files are still read.
TEST_F(RegistryFixture, OnlyRegularHiveFilesAreRead) {
    ASSERT_EQ(mkfifo(m_dir.file("10-fifo.reg").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(m_dir.file("20-dir.reg").c_str(), 0700), 0);
    Write("30-ok.reg", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n\"V\"=dword:00000007\n");
    unsigned char buffer[8];
    uint32_t type = 0;
    uint32_t length = sizeof buffer;
    testing::internal::CaptureStderr();
    EXPECT_EQ(GetRegistryValue(RegistryRoot::LocalMachine, L"SOFTWARE\\T", L"V", buffer, &length,
                               &type, true),
              VORN_OK);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find(m_dir.file("10-fifo.reg") + ": cannot be read\n"), std::string::npos);
    EXPECT_NE(errors.find(m_dir.file("20-dir.reg") + ": cannot be read\n"), std::string::npos);
    EXPECT_EQ(buffer[0], 7);
}

TEST(RegistryHive, ParentKeysExistAndDeletionRemovesSubkeys) {
    CRegistryHive hive;
    std::vector<std::string> errors;
    hive.Merge(std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B\\C]\n\"X\"=\"1\"\n" +
                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A-B]\n",
               "h.reg", errors);
    EXPECT_TRUE(errors.empty());
    EXPECT_TRUE(hive.HasKey("hkey_local_machine\\software\\a\\b"));
    EXPECT_FALSE(hive.HasKey("hkey_local_machine\\software\\a\\bc"));
    hive.Merge(std::string(kHeader) + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n", "i.reg", errors);
    EXPECT_FALSE(hive.HasKey("hkey_local_machine\\software\\a\\b\\c"));
    EXPECT_TRUE(hive.HasKey("hkey_local_machine\\software\\a-b"));
}

TEST_F(RegistryFixture, DataDirectoryLookup) {
    const struct {
        std::string body;  // empty: no file at all
        bool ok;
        std::string expected;
        std::string stderrText;
    } cases[] = {
        {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zanto\\Quoralis\\Tessellink\\VORN]\n"
         "\"DataDir\"=\"/var/lib/v\xC3\xB6rn/\"\n",
         true, "/var/lib/v\xC3\xB6rn/", ""},
        {"", false, "", "Failed to fetch registry handle.\nFailed to get Program Data path\n"},
        {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zanto\\Quoralis\\Tessellink\\VORN]\n"
         "\"Other\"=\"x\"\n",
         false, "", "Failed to get Program Data path\n"},
        // An expandable string names a directory too, but is refused.
        {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zanto\\Quoralis\\Tessellink\\VORN]\n"
         "\"DataDir\"=hex(2):2f,00,00,00\n",
         false, "", "Failed to get Program Data path\n"},
        // Empty, or text that does not convert (a lone surrogate), would put the
        // log and the store in the working directory: as if there were none.
        {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zanto\\Quoralis\\Tessellink\\VORN]\n"
         "\"DataDir\"=\"\"\n",
         false, "", "Failed to get Program Data path\n"},
        {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zanto\\Quoralis\\Tessellink\\VORN]\n"
         "\"DataDir\"=hex(1):2f,00,00,d8,2f,00,00,00\n",
         false, "", "Failed to get Program Data path\n"},
    };
    for (const auto& c : cases) {
        unlink(m_dir.file("vorn.reg").c_str());
        if (!c.body.empty()) {
            Write("vorn.reg", c.body);
        }
        std::string directory = "unchanged";
        testing::internal::CaptureStderr();
        const VORN_STATUS status = GetVORNDirectoryPath(directory);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.stderrText);
        EXPECT_EQ(status == VORN_OK, c.ok);
        EXPECT_EQ(directory, c.ok ? c.expected : "unchanged");
    }
}

TEST(ConfigDirectory, SetAndGetKeepTheBytes) {
    EXPECT_EQ(GetVORNConfigDirectory(), "");
    const struct {
        std::string given;
        std::string logged;
    } cases[] = {
        {"/etc/v\xC3\xB6rn", "[/etc/v\xC3\xB6rn]"},
        // Not UTF-8, and a control character: kept as bytes, escaped in the log.
        {"/etc/v\xF6rn\n", "[/etc/v\\xf6rn\\n]"},
    };
    for (const auto& c : cases) {
        const size_t mark = vorn::test::LogMark();
        EXPECT_EQ(SetVORNConfigDirectory(c.given), VORN_OK);
        EXPECT_EQ(GetVORNConfigDirectory(), c.given);
        EXPECT_NE(vorn::test::LogSince(mark).find("VORN Config file path is " + c.logged + " \n"),
                  std::string::npos)
            << vorn::test::LogSince(mark);
    }
    EXPECT_EQ(SetVORNConfigDirectory(L"/etc/v\u00f6rn"), VORN_OK);
    EXPECT_EQ(GetVORNConfigDirectory(), "/etc/v\xC3\xB6rn");
    (void)SetVORNConfigDirectory(std::string());
}

TEST(TextConversion, RoundTripsAndRejectsMalformedInput) {
    EXPECT_EQ(WideToUTF8(L"a\u00e9\u20ac\U0001F600"), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(UTF8ToWide("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), L"a\u00e9\u20ac\U0001F600");
    for (const char* bad : {"\xC3", "\xC0\x80", "\xED\xA0\x80", "\xFF", "ok\xE2\x82"}) {
        EXPECT_EQ(UTF8ToWide(bad), L"") << bad;
    }
    EXPECT_EQ(WideToUTF8(std::wstring(1, static_cast<wchar_t>(0xD800))), "");
    const unsigned char utf16[] = {0x3D, 0xD8, 0x00, 0xDE, 'a', 0, 0, 0, 'b', 0};
    EXPECT_EQ(UTF16LEToWide(utf16, sizeof utf16), L"\U0001F600a");
    const unsigned char lone[] = {0x00, 0xDE};
    EXPECT_EQ(UTF16LEToWide(lone, sizeof lone), L"");
}

// Firmware and system files hold Latin-1 and broken text: every byte that is
// not part of a well-formed sequence becomes one U+FFFD, the rest is kept.
TEST(TextConversion, LossyDecodingReplacesEachInvalidByte) {
    const struct {
        std::string m_strIn;
        std::wstring m_strOut;
        size_t m_replaced;
    } cases[] = {
        {"CZC\xB0"
         "417",
         L"CZC\uFFFD417", 1},  // Latin-1 degree sign
        {"\xC9"
         "cole",
         L"\uFFFDcole", 1},                                      // lead byte, ASCII after it
        {"a\xC3\xA9\xF0\x9F\x98\x80", L"a\u00e9\U0001F600", 0},  // valid text unchanged
        {"\xC0\x80", L"\uFFFD\uFFFD", 2},                        // overlong NUL
        {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD", 3},              // surrogate
        {"ok\xE2\x82", L"ok\uFFFD\uFFFD", 2},                    // truncated at the end
        {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD", 4},    // above U+10FFFF
        {"", L"", 0},
    };
    for (const auto& c : cases) {
        size_t replaced = 99;
        EXPECT_EQ(UTF8ToWideLossy(c.m_strIn, &replaced), c.m_strOut) << c.m_strIn;
        EXPECT_EQ(replaced, c.m_replaced) << c.m_strIn;
    }
}

TEST(TextConversion, TrimRemovesTheBlankSet) {
    const std::pair<std::string, std::string> cases[] = {
        {"  a b \t", "a b"}, {"\r\n\v\f", ""}, {"", ""}, {"x", "x"}, {"\tx\n", "x"}};
    for (const auto& [in, out] : cases) {
        std::string s = in;
        Trim(s);
        EXPECT_EQ(s, out);
    }
}

// Lines as std::getline splits them; hex digits of either case.
TEST(TextHelpers, NextLineAndHexDigits) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> texts = {
        {"", {}},       {"a", {"a"}},
        {"a\n", {"a"}}, {"a\n\nb", {"a", "", "b"}},
        {"\n", {""}},   {"x\r\ny\n", {"x\r", "y"}}};
    for (const auto& [text, expected] : texts) {
        std::vector<std::string> lines;
        size_t next = 0;
        std::string line;
        while (NextLine(text, next, line)) {
            lines.push_back(line);
        }
        EXPECT_EQ(lines, expected) << text;
    }
    const std::string digits = "0123456789abcdefABCDEF";
    for (size_t i = 0; i < digits.size(); ++i) {
        EXPECT_EQ(HexDigitValue(digits[i]), static_cast<int>(i < 16 ? i : i - 6)) << digits[i];
    }
    for (const char c : std::string("gG/:@`x \0", 10)) {
        EXPECT_EQ(HexDigitValue(c), -1) << static_cast<int>(c);
    }
}

}  // namespace
