// An event object with operating-system event semantics, and a wait for the
// first of several events.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace vorn {

class VORNEvent {
public:
    explicit VORNEvent(bool autoReset = true) : m_bAutoReset(autoReset) {}
    VORNEvent(const VORNEvent&) = delete;
    VORNEvent& operator=(const VORNEvent&) = delete;

    // The state becomes set and registered waiters are woken. A set event
    // stays set until a wait consumes it (auto-reset) or Reset is called,
    // even when nobody is waiting.
    void Set();
    void Reset();
    bool IsSet() const;

private:
    template <typename Clock>
    friend int WaitForEventsImpl(uint32_t, VORNEvent* const*, bool, bool,
                                 typename Clock::time_point);

    // One caller of WaitForEvents; shared by every event it waits on.
    struct Waiter {
        std::mutex mutex;
        std::condition_variable cv;
        bool signalled = false;
    };

    void addWaiter(Waiter* waiter);
    void removeWaiter(Waiter* waiter);
    // Reports and (auto-reset) consumes the state.
    bool consume();

    const bool m_bAutoReset;
    mutable std::mutex m_mutex;
    bool m_bSet = false;                // guarded by m_mutex
    std::vector<Waiter*> m_vecWaiters;  // guarded by m_mutex
};

// Results of WaitForEvents besides an event's index.
inline constexpr int kWaitTimeout = 258;
inline constexpr int kWaitFailed = -1;
// A timeout of kInfinite milliseconds never expires.
inline constexpr uint32_t kInfinite = 0xFFFFFFFF;

// Waits for the first of 'count' events (waitAll must be false) for at most
// timeoutMs milliseconds. Looks at the events in array order: the lowest set
// index is returned, and an auto-reset event is reset by being reported.
// Returns the index, kWaitTimeout, or kWaitFailed for invalid arguments. Takes
// the events' locks one at a time, never two at once.
int WaitForEvents(uint32_t count, VORNEvent* const* events, bool waitAll, uint32_t timeoutMs);

// The same wait with its end given as a wall-clock instant: the wait ends when
// the system clock reaches 'deadline', also when the clock is set meanwhile or
// the machine was suspended (a deadline already passed returns kWaitTimeout
// at once unless an event is set). A wait on a timer only, with no periodic
// wake-up.
int WaitForEventsUntil(uint32_t count, VORNEvent* const* events,
                       std::chrono::system_clock::time_point deadline);

// The same with a monotonic deadline (steady_clock): for short delays that
// must not move with the wall clock.
int WaitForEventsUntil(uint32_t count, VORNEvent* const* events,
                       std::chrono::steady_clock::time_point deadline);

}  // namespace vorn
