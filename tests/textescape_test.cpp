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
    ::testing::Values(
        EscapeCase{"Plain", "VORN-1234", "VORN-1234", true}, EscapeCase{"Empty", "", "", true},
        EscapeCase{"Utf8Kept", "Z\xC3\xBCrich \xE2\x82\xAC", "Z\xC3\xBCrich \xE2\x82\xAC", true},
        EscapeCase{"ForgedLogLine", "x\n[time] T: 1 S: error :: y", "x\\n[time] T: 1 S: error :: y",
                   false},
        EscapeCase{"CarriageReturnTab", "a\rb\tc", "a\\rb\\tc", false},
        EscapeCase{"TerminalEscape", "\x1b[2J", "\\x1b[2J", false},
        EscapeCase{"Nul", std::string("a\0b", 3), "a\\x00b", false},
        EscapeCase{"Delete", "a\x7f", "a\\x7f", false},
        EscapeCase{"C1Control", "a\xC2\x9B", "a\\xc2\\x9b", false},
        EscapeCase{"Latin1Byte", "caf\xE9", "caf\\xe9", false},
        EscapeCase{"Overlong", "\xC0\xAF", "\\xc0\\xaf", false},
        EscapeCase{"Surrogate", "\xED\xA0\x80", "\\xed\\xa0\\x80", false},
        EscapeCase{"Truncated", "\xE2\x82", "\\xe2\\x82", false},
        EscapeCase{"BackslashIsEscaped", "a\\nb", "a\\\\nb", true},
        // Valid UTF-8 that changes how the rest of the line reads.
        EscapeCase{"RightToLeftOverride", "abc\xE2\x80\xAEtxt.exe", "abc\\u202etxt.exe", false},
        EscapeCase{"LineSeparator",
                   "a\xE2\x80\xA8"
                   "b",
                   "a\\u2028b", false},
        EscapeCase{"ZeroWidthSpace",
                   "VORN\xE2\x80\x8B"
                   "1",
                   "VORN\\u200b1", false},
        EscapeCase{"ByteOrderMark", "\xEF\xBB\xBFx", "\\ufeffx", false},
        EscapeCase{"IsolateAndMark", "\xE2\x81\xA6\xD8\x9C", "\\u2066\\u061c", false},
        // Neighbours of those ranges print as themselves.
        EscapeCase{"EnDashAndEllipsisKept", "a\xE2\x80\x93\xE2\x80\xA6",
                   "a\xE2\x80\x93\xE2\x80\xA6", true}),
    [](const ::testing::TestParamInfo<EscapeCase>& info) { return std::string(info.param.name); });

// In JSON the same characters become JSON escapes: the document means the same.
TEST(EscapeTest, JsonKeepsItsValuesButShowsInvisibleCharacters) {
    EXPECT_EQ(vorn::MakeJsonVisible("{\"a\":\"x\xE2\x80\xAEy\xE2\x80\xA8\xE2\x80\x8B\"}"),
              "{\"a\":\"x\\u202ey\\u2028\\u200b\"}");
    EXPECT_EQ(vorn::MakeJsonVisible("{\"b\":\"Z\xC3\xBCrich\\n\"}"),
              "{\"b\":\"Z\xC3\xBCrich\\n\"}");
}

TEST(EscapeTest, LongInputIsCutWithACount) {
    EXPECT_EQ(vorn::EscapeUntrusted(std::string(10, 'a') + "\n", 4), "aaaa...(7 more bytes)");
    EXPECT_EQ(vorn::EscapeUntrusted("abc", 4), "abc");
}

}  // namespace
