// Escaping of untrusted text for log lines and terminals.
#include "common/textescape.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct EscapeCase {
    const char* name;
    std::string input;
    std::string escaped;
    bool printable;
};

class EscapeTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeTest, EscapesControlAndInvalidBytesOnly) {
    const EscapeCase& c = GetParam();
    EXPECT_EQ(vorn::EscapeUntrusted(c.input), c.escaped);
    EXPECT_EQ(vorn::IsPrintableUTF8(c.input), c.printable);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EscapeTest,
    ::testing::Values(EscapeCase{"Plain", "VORN-1234", "VORN-1234", true},
                      EscapeCase{"Empty", "", "", true},
                      EscapeCase{"Utf8Kept", "Z\xC3\xBCrich \xE2\x82\xAC",
                                 "Z\xC3\xBCrich \xE2\x82\xAC", true},
                      EscapeCase{"ForgedLogLine", "x\n[time] T: 1 S: error :: y",
                                 "x\\n[time] T: 1 S: error :: y", false},
                      EscapeCase{"CarriageReturnTab", "a\rb\tc", "a\\rb\\tc", false},
                      EscapeCase{"TerminalEscape", "\x1b[2J", "\\x1b[2J", false},
                      EscapeCase{"Nul", std::string("a\0b", 3), "a\\x00b", false},
                      EscapeCase{"Delete", "a\x7f", "a\\x7f", false},
                      EscapeCase{"C1Control", "a\xC2\x9B", "a\\xc2\\x9b", false},
                      EscapeCase{"Latin1Byte", "caf\xE9", "caf\\xe9", false},
                      EscapeCase{"Overlong", "\xC0\xAF", "\\xc0\\xaf", false},
                      EscapeCase{"Surrogate", "\xED\xA0\x80", "\\xed\\xa0\\x80", false},
                      EscapeCase{"Truncated", "\xE2\x82", "\\xe2\\x82", false},
                      EscapeCase{"BackslashIsEscaped", "a\\nb", "a\\\\nb", true}),
    [](const ::testing::TestParamInfo<EscapeCase>& info) { return std::string(info.param.name); });

TEST(EscapeTest, LongInputIsCutWithACount) {
    EXPECT_EQ(vorn::EscapeUntrusted(std::string(10, 'a') + "\n", 4), "aaaa...(7 more bytes)");
    EXPECT_EQ(vorn::EscapeUntrusted("abc", 4), "abc");
}

}  // namespace
