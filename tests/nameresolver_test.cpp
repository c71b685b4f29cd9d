// The bounded canonical-name lookup, with a scripted lookup standing for the
// resolver: what answers in time is used, what does not is given up at the
// time-out or at once when the process stops, and abandoned lookups cannot
// pile up.
#include "agent/linux/nameresolver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/linux/processstop.h"
#include "tests/support/testsupport.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A resolver that does not answer until released (or 10 s at most, so a
// failed test leaves no thread behind for long).
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int entered = 0;

    void Open() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            open = true;
        }
        changed.notify_all();
    }
};

CanonicalNameResolver::Lookup Blocking(std::shared_ptr<Gate> gate) {
    return [gate](const std::string& host, std::string& canonical) {
        std::unique_lock<std::mutex> lock(gate->mutex);
        ++gate->entered;
        gate->changed.notify_all();
        gate->changed.wait_for(lock, 10s, [&] { return gate->open; });
        canonical = host + ".late.example";
        return true;
    };
}

class NameResolverTest : public ::testing::Test {
protected:
    void TearDown() override {
        m_gate->Open();
        ClearProcessStopForTesting();
    }
    std::shared_ptr<Gate> m_gate = std::make_shared<Gate>();
};

TEST_F(NameResolverTest, AnswersInTimeAreUsedFailuresAreNoName) {
    const struct {
        const char* name;
        CanonicalNameResolver::Lookup lookup;
        bool found;
        const char* canonical;
    } cases[] = {
        {"answer",
         [](const std::string& host, std::string& c) {
             c = host + ".corp.example";
             return true;
         },
         true, "box.corp.example"},
        {"no name", [](const std::string&, std::string&) { return false; }, false, ""},
        {"lookup throws",
         [](const std::string&, std::string&) -> bool { throw std::runtime_error("boom"); }, false,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CanonicalNameResolver resolver(c.lookup, 2s);
        std::string canonical;
        EXPECT_EQ(resolver.Resolve("box", canonical), c.found);
        EXPECT_EQ(canonical, c.canonical);
        EXPECT_TRUE(test::WaitUntil([&] { return resolver.Running() == 0; }, 5s));
    }
}

TEST_F(NameResolverTest, ResolverThatNeverAnswersIsGivenUpAtTheTimeout) {
    CanonicalNameResolver resolver(Blocking(m_gate), 200ms);
    const size_t mark = test::LogMark();
    const auto start = Clock::now();
    std::string canonical = "kept";
    EXPECT_FALSE(resolver.Resolve("box", canonical));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 200ms);
    EXPECT_LT(took, 2s);
    EXPECT_EQ(canonical, "kept");
    EXPECT_NE(test::LogSince(mark).find("Canonical name lookup for box abandoned after 200 ms"),
              std::string::npos);
    // The abandoned lookup finishes on its own once the resolver answers.
    EXPECT_EQ(resolver.Running(), 1);
    m_gate->Open();
    EXPECT_TRUE(test::WaitUntil([&] { return resolver.Running() == 0; }, 5s));
}

TEST_F(NameResolverTest, StopAbandonsTheWaitAtOnceAndRefusesNewLookups) {
    CanonicalNameResolver resolver(Blocking(m_gate), 30s);
    std::thread stopper([&] {
        std::unique_lock<std::mutex> lock(m_gate->mutex);
        m_gate->changed.wait_for(lock, 10s, [&] { return m_gate->entered > 0; });
        lock.unlock();
        RequestProcessStop();
    });
    const auto start = Clock::now();
    std::string canonical;
    EXPECT_FALSE(resolver.Resolve("box", canonical));
    stopper.join();
    EXPECT_LT(Clock::now() - start, 1s);

    // Once stopping, a lookup is not even started.
    const int entered = m_gate->entered;
    EXPECT_FALSE(resolver.Resolve("box", canonical));
    std::lock_guard<std::mutex> lock(m_gate->mutex);
    EXPECT_EQ(m_gate->entered, entered);
}

TEST_F(NameResolverTest, AbandonedLookupsDoNotPileUp) {
    CanonicalNameResolver resolver(Blocking(m_gate), 50ms);
    std::string canonical;
    for (int i = 0; i < CanonicalNameResolver::kMaxAbandoned; ++i) {
        EXPECT_FALSE(resolver.Resolve("box", canonical));
    }
    EXPECT_EQ(resolver.Running(), CanonicalNameResolver::kMaxAbandoned);
    const size_t mark = test::LogMark();
    EXPECT_FALSE(resolver.Resolve("box", canonical));
    // Refused without starting a lookup (a started one counts at once).
    EXPECT_EQ(resolver.Running(), CanonicalNameResolver::kMaxAbandoned);
    EXPECT_NE(test::LogSince(mark).find("earlier lookups have not finished"), std::string::npos);
    // Once they finish, lookups run again.
    m_gate->Open();
    ASSERT_TRUE(test::WaitUntil([&] { return resolver.Running() == 0; }, 5s));
    EXPECT_TRUE(resolver.Resolve("box", canonical));
    EXPECT_EQ(canonical, "box.late.example");
}

// A lookup started ahead runs while the caller works; its time-out counts
// from the start, and what it logs comes when the answer is taken.
TEST_F(NameResolverTest, StartedLookupsRunAheadWithinTheSameBound) {
    CanonicalNameResolver resolver(Blocking(m_gate), 300ms);
    auto answered = resolver.Start("box");
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(m_gate->mutex);
            return m_gate->entered == 1;
        },
        5s));
    m_gate->Open();
    ASSERT_TRUE(test::WaitUntil([&] { return resolver.Running() == 0; }, 5s));
    std::string canonical;
    EXPECT_TRUE(resolver.Finish(*answered, canonical));
    EXPECT_EQ(canonical, "box.late.example");

    // Never answering: the caller's own work used up the time-out, so taking
    // the answer does not wait again.
    auto gate = std::make_shared<Gate>();
    CanonicalNameResolver silent(Blocking(gate), 100ms);
    auto late = silent.Start("box");
    std::this_thread::sleep_for(150ms);
    const size_t mark = test::LogMark();
    const auto start = Clock::now();
    EXPECT_FALSE(silent.Finish(*late, canonical));
    EXPECT_LT(Clock::now() - start, 50ms);
    EXPECT_NE(test::LogSince(mark).find("Canonical name lookup for box abandoned after 100 ms"),
              std::string::npos);
    gate->Open();
    EXPECT_TRUE(test::WaitUntil([&] { return silent.Running() == 0; }, 5s));

    // Refused at the start (the process stopping): said when taken.
    RequestProcessStop();
    const size_t before = test::LogMark();
    auto refused = resolver.Start("box");
    EXPECT_EQ(test::LogSince(before), "");
    EXPECT_FALSE(resolver.Finish(*refused, canonical));
    EXPECT_NE(test::LogSince(before).find("No canonical name for box: the process is stopping"),
              std::string::npos);
    EXPECT_EQ(resolver.Running(), 0);
}

TEST(ProcessStop, LatchWakesWaitersAndItsDescriptor) {
    ASSERT_FALSE(ProcessStopRequested());
    ASSERT_GE(ProcessStopFd(), 3);  // never one of the standard descriptors
    EXPECT_FALSE(WaitForProcessStop(20ms));
    std::thread stopper([] {
        std::this_thread::sleep_for(50ms);
        RequestProcessStop();
    });
    const auto start = Clock::now();
    EXPECT_TRUE(WaitForProcessStop(10s));
    EXPECT_LT(Clock::now() - start, 2s);
    stopper.join();
    RequestProcessStop();  // idempotent
    EXPECT_TRUE(ProcessStopRequested());
    EXPECT_TRUE(WaitForProcessStop(0ms));
    ClearProcessStopForTesting();
    EXPECT_FALSE(ProcessStopRequested());
    EXPECT_FALSE(WaitForProcessStop(0ms));
}

}  // namespace
}  // namespace vorn
