#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "agent/vornagent.h"
#include "agent/vornevent.h"

using namespace vorn;
using namespace std::chrono_literals;

namespace {

TEST(WaitForEvents, LowestSetIndexWinsAndAutoResetConsumesOnlyIt) {
    VORNEvent a, b, c;
    VORNEvent* const events[] = {&a, &b, &c};
    b.Set();
    c.Set();
    a.Set();
    EXPECT_EQ(WaitForEvents(3, events, false, 0), 0);
    EXPECT_EQ(WaitForEvents(3, events, false, 0), 1);
    EXPECT_EQ(WaitForEvents(3, events, false, 0), 2);
    EXPECT_EQ(WaitForEvents(3, events, false, 0), kWaitTimeout);
}

TEST(WaitForEvents, SetCollapsesAndStateIsKeptWithoutWaiters) {
    VORNEvent a;
    VORNEvent* const events[] = {&a};
    a.Set();
    a.Set();
    EXPECT_TRUE(a.IsSet());
    EXPECT_EQ(WaitForEvents(1, events, false, kInfinite), 0);
    EXPECT_FALSE(a.IsSet());
    EXPECT_EQ(WaitForEvents(1, events, false, 1), kWaitTimeout);
}

TEST(WaitForEvents, ManualResetEventStaysSet) {
    VORNEvent manual(false);
    VORNEvent* const events[] = {&manual};
    manual.Set();
    EXPECT_EQ(WaitForEvents(1, events, false, 0), 0);
    EXPECT_EQ(WaitForEvents(1, events, false, 0), 0);
    manual.Reset();
    EXPECT_EQ(WaitForEvents(1, events, false, 0), kWaitTimeout);
}

TEST(WaitForEvents, WakesWhenAnotherThreadSets) {
    VORNEvent a, b;
    VORNEvent* const events[] = {&a, &b};
    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        b.Set();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForEvents(2, events, false, kInfinite), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    setter.join();
}

TEST(WaitForEvents, TimesOutAndRejectsBadArguments) {
    VORNEvent a;
    VORNEvent* const events[] = {&a};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForEvents(1, events, false, 30), kWaitTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
    EXPECT_EQ(WaitForEvents(0, events, false, 0), kWaitFailed);
    EXPECT_EQ(WaitForEvents(1, nullptr, false, 0), kWaitFailed);
    EXPECT_EQ(WaitForEvents(1, events, true, 0), kWaitFailed);
}

// A deadline on either clock: one already passed times out at once (the
// request due at that instant is not lost), an event still wins over it, and
// a future one is kept to.
TEST(WaitForEvents, DeadlinesOnTheWallAndMonotonicClocks) {
    VORNEvent a;
    VORNEvent* const events[] = {&a};
    using Wall = std::chrono::system_clock;
    using Steady = std::chrono::steady_clock;
    auto start = Steady::now();
    EXPECT_EQ(WaitForEventsUntil(1, events, Wall::now() - 1s), kWaitTimeout);
    EXPECT_EQ(WaitForEventsUntil(1, events, Steady::now() - 1s), kWaitTimeout);
    EXPECT_LT(Steady::now() - start, 100ms);
    a.Set();
    EXPECT_EQ(WaitForEventsUntil(1, events, Wall::now() - 1s), 0);
    a.Set();
    EXPECT_EQ(WaitForEventsUntil(1, events, Steady::now() + 10s), 0);

    start = Steady::now();
    EXPECT_EQ(WaitForEventsUntil(1, events, Wall::now() + 50ms), kWaitTimeout);
    EXPECT_GE(Steady::now() - start, 40ms);
    start = Steady::now();
    EXPECT_EQ(WaitForEventsUntil(1, events, Steady::now() + 50ms), kWaitTimeout);
    EXPECT_GE(Steady::now() - start, 50ms);
}

TEST(WaitForEvents, ManyWakeUpsAcrossThreadsAreNeverLost) {
    VORNEvent request, done;
    VORNEvent* const waitRequest[] = {&request};
    VORNEvent* const waitDone[] = {&done};
    constexpr int kRounds = 2000;
    std::thread worker([&] {
        for (int i = 0; i < kRounds; ++i) {
            ASSERT_EQ(WaitForEvents(1, waitRequest, false, 10000), 0);
            done.Set();
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        request.Set();
        ASSERT_EQ(WaitForEvents(1, waitDone, false, 10000), 0);
    }
    worker.join();
}

TEST(RateLimitTimeout, Table) {
    const struct {
        int64_t now, retry;
        uint32_t expected;
    } cases[] = {
        {1000, 1030, 30000},
        {1000, 1000, kInfinite},
        {1000, 999, kInfinite},
        {1000, 0, kInfinite},
        {1000, 1001, 1000},
        // Beyond 32 bits of milliseconds: the largest finite timeout.
        {0, 4294968, 0xFFFFFFFEu},
        {0, INT64_MAX, 0xFFFFFFFEu},
        {-5, 5, 10000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RateLimitTimeoutMs(c.now, c.retry), c.expected) << c.now << " " << c.retry;
    }
}

}  // namespace
