#include "common/logratelimit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "tests/support/testsupport.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using TimePoint = std::chrono::steady_clock::time_point;

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// A fake clock walks the limiter through windows: what passes, what is
// counted, and when the count is handed over.
TEST(LogRateLimiterTest, WindowsAndSuppressedCounts) {
    TimePoint now{};
    CLogRateLimiter limiter([&now] { return now; }, 3, 1000ms);
    uint64_t suppressed = 99;
    const struct {
        const char* name;
        std::chrono::milliseconds advance;  // before the call
        bool admitted;
        uint64_t suppressed;
    } steps[] = {
        {"first line", 0ms, true, 0},
        {"second", 10ms, true, 0},
        {"third fills the window", 10ms, true, 0},
        {"fourth is counted", 10ms, false, 0},
        {"fifth is counted", 500ms, false, 0},
        {"still the same window", 469ms, false, 0},
        {"a new window passes the line and hands over the count", 1ms, true, 3},
        {"the count started again", 0ms, true, 0},
        {"a clock that went back opens a window", -5000ms, true, 0},
        {"long quiet", 3600s, true, 0},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        now += step.advance;
        EXPECT_EQ(step.admitted, limiter.Admit(suppressed));
        EXPECT_EQ(step.suppressed, suppressed);
    }
}

// Through the logger: a burst from one call site writes its allowance, and
// another call site keeps its own.
TEST(LogRateLimiterTest, MacroBoundsOneCallSiteAndNotTheOthers) {
    const size_t mark = test::LogMark();
    for (int i = 0; i < 500; ++i) {
        VORN_LOG_LIMITED_DEBUG("burst line %d from outside", i);
    }
    VORN_LOG_LIMITED_ERROR("another site after the burst");
    const std::string log = test::LogSince(mark);
    // The burst takes far less than a window, unless the machine stalls
    // across a window's end, which lets one more allowance through.
    const size_t written = Count(log, "from outside");
    EXPECT_GE(written, CLogRateLimiter::kLinesPerWindow);
    EXPECT_LE(written, 2 * CLogRateLimiter::kLinesPerWindow);
    EXPECT_EQ(1u, Count(log, "another site after the burst"));
    // The same texts, unchanged.
    EXPECT_NE(std::string::npos, log.find("S: debug :: burst line 0 from outside"));
}

}  // namespace
}  // namespace vorn
