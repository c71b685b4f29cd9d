// The log's fast formatter against the C library's vsnprintf: the same text
// and length for every conversion it takes, at every buffer size (so every
// cut), and a refusal, with no argument read, for everything else.
#include "common/logformat.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

struct Formatted {
    bool handled = false;
    std::string text;
    size_t length = 0;
};

Formatted Plain(size_t room, const char* format, ...) {
    Formatted result;
    std::string buffer(room + 1, '#');
    va_list args;
    va_start(args, format);
    result.handled = vorn::IsPlainFormat(format);
    if (result.handled) {
        vorn::FormatCheckedPlain(buffer.data(), room, format, args, result.length);
    }
    va_end(args);
    result.text = buffer;
    return result;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
Formatted Reference(size_t room, const char* format, ...) {
    Formatted result;
    std::string buffer(room + 1, '#');
    va_list args;
    va_start(args, format);
    result.length = static_cast<size_t>(vsnprintf(buffer.data(), room, format, args));
    va_end(args);
    result.handled = true;
    result.text = buffer;
    return result;
}
#pragma GCC diagnostic pop

// Both formatters at every room from 0 to past the whole text: same bytes
// written (the '#' fill shows what either left alone) and same length.
#define EXPECT_SAME_AT_EVERY_ROOM(format, ...)                                       \
    do {                                                                             \
        const size_t whole = Reference(4096, format, __VA_ARGS__).length;            \
        for (size_t room = 0; room <= whole + 2; ++room) {                           \
            const Formatted plain = Plain(room, format, __VA_ARGS__);                \
            const Formatted reference = Reference(room, format, __VA_ARGS__);        \
            ASSERT_TRUE(plain.handled) << format;                                    \
            EXPECT_EQ(plain.text, reference.text) << format << " room " << room;     \
            EXPECT_EQ(plain.length, reference.length) << format << " room " << room; \
        }                                                                            \
    } while (0)

TEST(LogFormat, AgreesWithTheCLibraryAtEveryCut) {
    EXPECT_SAME_AT_EVERY_ROOM("%s", "plain text only");
    EXPECT_SAME_AT_EVERY_ROOM("VORN agent received ID request event %d", 12345);
    EXPECT_SAME_AT_EVERY_ROOM("100%% of %s: %d/%u", "disks", -7, 7u);
    EXPECT_SAME_AT_EVERY_ROOM("%d %d %d %i", INT_MIN, INT_MAX, 0, -1);
    EXPECT_SAME_AT_EVERY_ROOM("%u %x %X", UINT_MAX, 0xdeadbeefu, 0xdeadbeefu);
    EXPECT_SAME_AT_EVERY_ROOM("%hu %hd %hhu %hhd", 70000, 40000, 300, 200);
    EXPECT_SAME_AT_EVERY_ROOM("%ld %lu %lx", LONG_MIN, ULONG_MAX, 0x1234abcdUL);
    EXPECT_SAME_AT_EVERY_ROOM("%lld %llu %llX", LLONG_MIN, ULLONG_MAX, 0xABCDEF0123ULL);
    EXPECT_SAME_AT_EVERY_ROOM("%zu bytes, %zd left", static_cast<size_t>(4096),
                              static_cast<ssize_t>(-12));
    EXPECT_SAME_AT_EVERY_ROOM("[%s] [%s]", "", static_cast<const char*>(nullptr));
    EXPECT_SAME_AT_EVERY_ROOM("Z\xC3\xBCrich %s", "\xE2\x82\xAC");
}

TEST(LogFormat, LeavesEverythingElseToTheCLibrary) {
    const char* const refused[] = {"%5d", "%-5s", "%05d", "%.3s",   "%*d",         "%+d", "% d",
                                   "%#x", "%c",   "%p",   "%f",     "%ls",         "%o",  "%jd",
                                   "%td", "%Lf",  "%l%",  "tail %", "%d then %5d", "%%%"};
    for (const char* format : refused) {
        EXPECT_FALSE(vorn::IsPlainFormat(format)) << format;
        const Formatted plain = Plain(16, format, 1, 2);
        EXPECT_FALSE(plain.handled) << format;
        EXPECT_EQ(plain.text, std::string(17, '#')) << format << ": wrote before refusing";
    }
}

}  // namespace
