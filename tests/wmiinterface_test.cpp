// The query interface: the variant conversion table, the WQL reader over a
// fixture machine, and the parsers behind the Linux sources.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

#include "agent/linux/wmiinterface.h"
#include "agent/linux/wmiproviders.h"
#include "common/vornutils.h"
#include "tests/attribute_test_util.h"
#include "tests/support/testsupport.h"

namespace vorn::test {
namespace {

const std::string kWorkstation = std::string(VORN_TEST_DATA_DIR) + "/machines/workstation";

TEST(WMIConversion, EveryVariantTypeConvertsAsTheTableSays) {
    const struct {
        WMIVariant m_variant;
        eWMIValueType m_eType;
        std::wstring m_strText;
    } cases[] = {
        {WMIVariant::Null(), eWMIValueString, L""},
        {WMIVariant::String(std::wstring(L"a\0b", 3)), eWMIValueString, std::wstring(L"a\0b", 3)},
        {WMIVariant::Bool(true), eWMIValueBool, L"1"},
        {WMIVariant::Bool(false), eWMIValueBool, L"0"},
        {WMIVariant::Signed(WMI_VT_I2, -32768), eWMIValueInteger, L"-32768"},
        {WMIVariant::Signed(WMI_VT_I4, -5), eWMIValueInteger, L"-5"},
        {WMIVariant::Signed(WMI_VT_INT, 1234567), eWMIValueInteger, L"1234567"},
        {WMIVariant::Signed(WMI_VT_I8, LLONG_MIN), eWMIValueInteger, L"-9223372036854775808"},
        {WMIVariant::Unsigned(WMI_VT_UI2, 65535), eWMIValueInteger, L"65535"},
        {WMIVariant::Unsigned(WMI_VT_UI4, 4294967295u), eWMIValueInteger, L"4294967295"},
        {WMIVariant::Unsigned(WMI_VT_UINT, 7), eWMIValueInteger, L"7"},
        {WMIVariant::Unsigned(WMI_VT_UI8, ULLONG_MAX), eWMIValueInteger, L"18446744073709551615"},
        {WMIVariant::Real(WMI_VT_R4, 1.5), eWMIValueReal, L"1.500000"},
        {WMIVariant::Real(WMI_VT_R8, -0.25), eWMIValueReal, L"-0.250000"},
        {WMIVariant::Real(WMI_VT_R8, 1e20), eWMIValueReal, L"100000000000000000000.000000"},
    };
    for (const auto& c : cases) {
        const WMIValue value = ConvertWMIVariant(c.m_variant, L"P");
        EXPECT_EQ(value.m_eType, c.m_eType) << c.m_variant.m_vt;
        EXPECT_EQ(value.m_strValue, c.m_strText) << c.m_variant.m_vt;
        EXPECT_TRUE(value.m_lstValues.empty());
    }
}

TEST(WMIConversion, StringArraysAndUnhandledTypes) {
    const WMIValue array = ConvertWMIVariant(WMIVariant::StringArray({L"x", L"", L"z"}), L"A");
    EXPECT_EQ(array.m_eType, eWMIValueStringArray);
    EXPECT_TRUE(array.m_strValue.empty());
    EXPECT_EQ(array.m_lstValues, (std::list<std::wstring>{L"x", L"", L"z"}));

    for (uint16_t vt :
         std::vector<uint16_t>{WMI_VT_EMPTY, WMI_VT_I1, WMI_VT_UI1, WMI_VT_ARRAY | WMI_VT_I4}) {
        const size_t mark = LogMark();
        const WMIValue value = ConvertWMIVariant(WMIVariant::Unsigned(vt, 9), L"Flags");
        EXPECT_EQ(value.m_eType, eWMIValueNone);
        EXPECT_TRUE(value.m_strValue.empty());
        EXPECT_NE(
            LogSince(mark).find("Unhandled variant type " + std::to_string(vt) + " for Flags"),
            std::string::npos);
    }
}

class WMIQueryTest : public ::testing::Test {
protected:
    WMIInterface m_wmi{kWorkstation, std::make_shared<FakeHostNames>("ws", "ws.example.org")};
    std::list<std::wstring> m_names;
    std::list<WMIRow> m_rows;

    std::vector<std::wstring> column(size_t index) const {
        std::vector<std::wstring> values;
        for (const WMIRow& row : m_rows) {
            auto it = row.begin();
            std::advance(it, index);
            values.push_back(it->m_strValue);
        }
        return values;
    }
};

TEST_F(WMIQueryTest, NamesComeInClassOrderWhateverTheSelectOrder) {
    ASSERT_EQ(m_wmi.RunWMIQuery(L"select Model, serialnumber , MediaType from win32_diskdrive",
                                m_names, m_rows),
              VORN_OK);
    EXPECT_EQ(m_names, (std::list<std::wstring>{L"SerialNumber", L"MediaType", L"Model"}));
    ASSERT_EQ(m_rows.size(), 2u);  // loop0 is not a drive
    // The USB controller (00:14.0) comes before the NVMe drive's bridge (00:1d.0).
    EXPECT_EQ(column(0),
              (std::vector<std::wstring>{L"4C530001230517117325", L"S4EWNX0R123456      "}));
    EXPECT_EQ(column(1), (std::vector<std::wstring>{L"Removable Media", L"Fixed hard disk media"}));
    EXPECT_EQ(column(2), (std::vector<std::wstring>{L"Ultra Fit       ",
                                                    L"Samsung SSD 970 EVO Plus 1TB            "}));
}

TEST_F(WMIQueryTest, WhereSelectsMatchingObjects) {
    ASSERT_EQ(m_wmi.RunWMIQuery(L"SELECT DeviceID FROM Win32_Volume WHERE DriveLetter='/'", m_names,
                                m_rows),
              VORN_OK);
    EXPECT_EQ(
        column(0),
        (std::vector<std::wstring>{L"\\\\?\\Volume{3f1c2a9e-7b4d-4e21-9c55-0d8e6a1b2c3d}\\"}));
    m_names.clear();
    m_rows.clear();
    ASSERT_EQ(m_wmi.RunWMIQuery(L"SELECT DeviceID FROM Win32_Volume WHERE DriveLetter='C:'",
                                m_names, m_rows),
              VORN_OK);
    EXPECT_TRUE(m_rows.empty());
    EXPECT_TRUE(m_names.empty());
}

TEST_F(WMIQueryTest, ReusedListsKeepNamesAndAppendRows) {
    ASSERT_EQ(m_wmi.RunWMIQuery(L"SELECT * FROM Win32_ComputerSystem", m_names, m_rows), VORN_OK);
    EXPECT_EQ(m_names, (std::list<std::wstring>{L"DNSHostName", L"Domain", L"Model"}));
    EXPECT_EQ(column(1), (std::vector<std::wstring>{L"example.org"}));
    // Only the selected property can be read; the others come back unhandled.
    const size_t mark = LogMark();
    ASSERT_EQ(m_wmi.RunWMIQuery(L"SELECT Model FROM Win32_ComputerSystem", m_names, m_rows),
              VORN_OK);
    ASSERT_EQ(m_rows.size(), 2u);
    EXPECT_EQ(m_rows.back().front().m_eType, eWMIValueNone);
    EXPECT_EQ(m_rows.back().back().m_strValue, L"ThinkStation P520");
    EXPECT_NE(LogSince(mark).find("Unhandled variant type 0 for DNSHostName"), std::string::npos);
}

TEST_F(WMIQueryTest, BadStatementsFailWithAWbemCode) {
    const struct {
        const wchar_t* m_szQuery;
        const char* m_szCode;
    } cases[] = {
        {L"SELECT Foo FROM Win32_BIOS", "0x80041017"},
        {L"SELECT SerialNumber FROM Win32_Nothing", "0x80041010"},
        {L"SELECT SerialNumber FROM Win32_BIOS WHERE Foo='x'", "0x80041017"},
        {L"SELECT SerialNumber FROM Win32_BIOS WHERE SerialNumber='x", "0x80041017"},
        {L"SELECT FROM Win32_BIOS", "0x80041017"},
        {L"SELECT SerialNumber FROM Win32_BIOS extra", "0x80041017"},
        {L"", "0x80041017"},
    };
    // A statement that failed fails, and says so, every time it is run.
    for (int round = 0; round < 2; ++round) {
        for (const auto& c : cases) {
            const size_t mark = LogMark();
            EXPECT_EQ(m_wmi.RunWMIQuery(c.m_szQuery, m_names, m_rows), VORN_FAILED);
            EXPECT_NE(
                LogSince(mark).find(std::string("Query failed to retrieve objects. Error code = ") +
                                    c.m_szCode),
                std::string::npos)
                << WideToUTF8(c.m_szQuery);
        }
    }
    EXPECT_TRUE(m_rows.empty());
}

// Statements run before answer the same when run again, also after more
// distinct statements than are kept read have been run in between.
TEST_F(WMIQueryTest, RepeatedStatementsAnswerAlike) {
    auto run = [&](const std::wstring& query) {
        m_names.clear();
        m_rows.clear();
        EXPECT_EQ(m_wmi.RunWMIQuery(query, m_names, m_rows), VORN_OK) << WideToUTF8(query);
        std::vector<std::wstring> cells(m_names.begin(), m_names.end());
        for (const WMIRow& row : m_rows) {
            for (const WMIValue& value : row) {
                cells.push_back(value.m_strValue);
            }
        }
        return cells;
    };
    const std::wstring first = L"SELECT DeviceID FROM Win32_Volume WHERE DriveLetter='/'";
    const std::wstring second = L"SELECT SerialNumber, Model FROM Win32_DiskDrive";
    const auto volume = run(first);
    const auto disks = run(second);
    ASSERT_EQ(volume.size(), 2u);
    ASSERT_EQ(disks.size(), 6u);
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(run(L"SELECT DeviceID FROM Win32_Volume WHERE DriveLetter='" +
                      std::to_wstring(i) + L"'"),
                  std::vector<std::wstring>{});
    }
    EXPECT_EQ(run(first), volume);
    EXPECT_EQ(run(second), disks);
    EXPECT_EQ(run(first), volume);
}

TEST(WMIQuery, AbsentOrUnreadableSourcesGiveNoRows) {
    TempDir root;
    // A directory where the serial file should be: open succeeds, read fails.
    ASSERT_EQ(system(("mkdir -p " + root.file("sys/class/dmi/id/product_serial")).c_str()), 0);
    WMIInterface wmi(root.path(), std::make_shared<FakeHostNames>("h", ""));
    for (const wchar_t* query :
         {L"SELECT SerialNumber FROM Win32_BIOS", L"SELECT UUID FROM Win32_ComputerSystemProduct",
          L"SELECT DeviceID FROM Win32_Volume", L"SELECT Model FROM Win32_DiskDrive"}) {
        std::list<std::wstring> names;
        std::list<WMIRow> rows;
        const size_t mark = LogMark();
        EXPECT_EQ(wmi.RunWMIQuery(query, names, rows), VORN_OK);
        EXPECT_TRUE(rows.empty()) << WideToUTF8(query);
        EXPECT_TRUE(names.empty());
        if (std::wstring(query).find(L"BIOS") != std::wstring::npos) {
            EXPECT_NE(LogSince(mark).find("Cannot read"), std::string::npos);
        }
    }
}

TEST(WMIQuery, FailedConstructionFailsEveryQuery) {
    TempDir root;
    WriteFile(root.file("file"), "x");
    const size_t mark = LogMark();
    WMIInterface wmi(root.file("file"), nullptr);
    std::list<std::wstring> names;
    std::list<WMIRow> rows;
    EXPECT_EQ(wmi.RunWMIQuery(L"SELECT * FROM Win32_OperatingSystem", names, rows), VORN_FAILED);
    const std::string log = LogSince(mark);
    EXPECT_NE(log.find("Failed to open system root"), std::string::npos);
    EXPECT_NE(log.find("Failed to construct object "), std::string::npos);
}

// Hidden NVMe path devices and device-mapper are no drives; the second path
// to a SAS LUN repeats its id; the rest come in the order of their places:
// the SATA ports of 00:17.0, the SAS LUN behind 3a:00.0, then the NVMe
// drives (5d:02.0, and the multipath namespace by its paths below d7).
TEST(WMIQuery, DisksOfAServerAsTheHardwareHasThem) {
    WMIInterface wmi(std::string(VORN_TEST_DATA_DIR) + "/machines/server",
                     std::make_shared<FakeHostNames>("h", ""));
    std::list<std::wstring> names;
    std::list<WMIRow> rows;
    ASSERT_EQ(wmi.RunWMIQuery(L"SELECT SerialNumber, Model FROM Win32_DiskDrive", names, rows),
              VORN_OK);
    std::vector<std::wstring> serials, models;
    for (const WMIRow& row : rows) {
        serials.push_back(row.front().m_strValue);
        models.push_back(row.back().m_strValue);
    }
    EXPECT_EQ(serials, (std::vector<std::wstring>{
                           L"BTYF83210ABC480BGN", L"ZC1B2C3D", L"00c0ff5a1b2c0000a1b2c3d401000000",
                           L"PHLN123400AB1P6AGN  ", L"S6EUNA0T500123      "}));
    EXPECT_EQ(models, (std::vector<std::wstring>{L"INTEL SSDSC2KB48", L"ST4000NM0035-1V4",
                                                 L"MSA 2060 SAS    ",
                                                 L"INTEL SSDPE2KX010T8                     ",
                                                 L"SAMSUNG MZQL2960HCJR-00A07              "}));
}

TEST(WMISources, KernelNamesInNaturalOrder) {
    std::vector<std::string> names = {"sdaa",    "nvme10n1", "sdb",     "nvme1n1",
                                      "vda",     "sdz",      "nvme2n1", "nvme1n10",
                                      "nvme1n2", "xvda",     "sda",     "mmcblk0"};
    std::sort(names.begin(), names.end(), NaturalNameLess);
    EXPECT_EQ(names,
              (std::vector<std::string>{"mmcblk0", "nvme1n1", "nvme1n2", "nvme1n10", "nvme2n1",
                                        "nvme10n1", "sda", "sdb", "sdz", "sdaa", "vda", "xvda"}));
    EXPECT_FALSE(NaturalNameLess("sda", "sda"));
    EXPECT_TRUE(NaturalNameLess("nvme01n1", "nvme1n1") != NaturalNameLess("nvme1n1", "nvme01n1"));
}

TEST(WMISources, UnitSerialNumberPage) {
    const struct {
        std::string m_strPage;
        bool m_bOk;
        std::string m_strSerial;
    } cases[] = {
        {std::string("\0\x80\0\x08  ZC1B2C", 12), true, "ZC1B2C"},   // ATA: right-aligned
        {std::string("\0\x80\0\x06WD123 \0\0", 12), true, "WD123"},  // padded with NULs
        {std::string("\0\x80\0\x40WD12", 8), true, "WD12"},          // length past the end
        {std::string("\0\x80\0\x04"
                     "ABCDEFGH",
                     12),
         true, "ABCD"},  // bytes past the length
        {std::string("\0\x83\0\x04"
                     "ABCD",
                     8),
         false, ""},                                      // another page
        {std::string("\0\x80\0\x04    ", 8), false, ""},  // blank serial
        {std::string("\0\x80\0", 3), false, ""},          // truncated header
    };
    for (const auto& c : cases) {
        std::string serial = "unchanged";
        EXPECT_EQ(ParseUnitSerialPage(c.m_strPage, serial), c.m_bOk) << c.m_strSerial;
        if (c.m_bOk) {
            EXPECT_EQ(serial, c.m_strSerial);
        }
    }
}

TEST(WMISources, OsReleaseParsing) {
    const auto values = ParseOsRelease(
        "PRETTY_NAME=\"Debian \\\"GNU\\\"/Linux\"\n"
        "ID=debian\n"
        "# comment\n"
        "VERSION_ID='12'\n"
        "garbage line without equals\n"
        "BAD KEY=1\n"
        "UNQUOTED=two words\n"
        "BUILD_ID=\"truncated");
    EXPECT_EQ(values, (std::map<std::string, std::string>{
                          {"PRETTY_NAME", "Debian \"GNU\"/Linux"},
                          {"ID", "debian"},
                          {"VERSION_ID", "12"},
                      }));
    EXPECT_TRUE(ParseOsRelease(std::string("\x01\xff=\n\0\0", 6)).empty());
}

TEST(WMISources, VersionArchitectureAndRootMount) {
    EXPECT_EQ(PreciseVersion("12", "12.5"), "12.5");
    EXPECT_EQ(PreciseVersion("12", "trixie/sid"), "12");
    EXPECT_EQ(PreciseVersion("12", "11.9"), "12");
    EXPECT_EQ(PreciseVersion("22.04", ""), "22.04");
    EXPECT_EQ(PreciseVersion("", "12.5"), "");
    EXPECT_EQ(ArchitectureText("x86_64"), "64-bit");
    EXPECT_EQ(ArchitectureText("aarch64"), "64-bit");
    EXPECT_EQ(ArchitectureText("s390x"), "64-bit");
    EXPECT_EQ(ArchitectureText("i686"), "32-bit");
    EXPECT_EQ(ArchitectureText("armv7l"), "32-bit");

    std::string device, source;
    EXPECT_TRUE(
        FindRootMount("1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
                      "2 1 0:5 / /proc rw - proc proc rw\n"
                      "3 1 8:2 / / rw shared:1 master:2 - xfs /dev/sda2 rw\n",
                      device, source));
    EXPECT_EQ(device, "8:2");  // the later mount hides the earlier one
    EXPECT_EQ(source, "/dev/sda2");
    EXPECT_FALSE(
        FindRootMount("1 0 8:1 / /home rw - ext4 /dev/sda1 rw\n1 0 8:1 / /\n", device, source));
    // Runs of blanks and tabs separate fields too; a last line without its
    // line feed still counts; a line cut before its source does not.
    EXPECT_TRUE(FindRootMount("7  1\t253:0 /   / rw -  ext4\t/dev/mapper/root", device, source));
    EXPECT_EQ(device, "253:0");
    EXPECT_EQ(source, "/dev/mapper/root");
    EXPECT_FALSE(FindRootMount("7 1 253:0 / / rw - ext4", device, source));
}

}  // namespace
}  // namespace vorn::test
