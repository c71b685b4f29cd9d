// The agent: owns the identity machinery and runs all identity work on its
// main thread, which sleeps on three events and an optional rate-limit timer.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

#include "agent/vornevent.h"
#include "agent/vornidentitystore.h"
#include "common/vornstatus.h"

namespace vorn {

// Seconds since 1970-01-01 UTC; injectable so rate-limit timing is testable.
using SecondsClock = std::function<int64_t()>;
int64_t SystemSecondsNow();

// The main loop's wait timeout for a stored retry timestamp: kInfinite when
// 'now' is not earlier than the timestamp, otherwise the remaining time in
// milliseconds, clamped to the largest finite timeout when it does not fit.
uint32_t RateLimitTimeoutMs(int64_t now, int64_t retryTimestamp);

// What the agent is built from. Production leaves every member empty and gets
// the Linux implementations; tests substitute fakes.
struct AgentComponents {
    // The store; null means the process's store reader/writer, initialised on
    // "vornstore.json" in the data directory.
    IVORNIdentityStore* store = nullptr;
    // Seconds since 1970 UTC; empty means the system clock.
    SecondsClock clock;
};

class CVORNAgent {
public:
    // Throws std::runtime_error "Could not get VORN Directory Path" when the
    // data directory is not configured, and "Could not initialize the VORN
    // Store while starting Agent" when the store cannot be used.
    CVORNAgent();
    explicit CVORNAgent(AgentComponents components);
    ~CVORNAgent();

    CVORNAgent(const CVORNAgent&) = delete;
    CVORNAgent& operator=(const CVORNAgent&) = delete;

    // Body of the agent's main thread; returns when the shutdown event is taken.
    VORN_STATUS MainThreadProc();

    // Asks the main thread to leave its loop; returns at once. Any thread.
    void ShutDown();

private:
    VORN_STATUS sendIdentityServiceRequest();
    VORN_STATUS handleIdentityServiceResponse();

    IVORNIdentityStore* m_ptrStore = nullptr;
    SecondsClock m_fnNow;
    std::mutex m_mutex;
    VORNEvent m_idRequestEvent{true};
    VORNEvent m_idResponseEvent{true};
    VORNEvent m_shutdownEvent{true};
};

}  // namespace vorn
