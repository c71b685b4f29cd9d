#include "agent/vornevent.h"

#include <algorithm>
#include <chrono>

namespace vorn {

void VORNEvent::Set() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bSet) {
        return;
    }
    m_bSet = true;
    // Waking more than one waiter of an auto-reset event is harmless: only the
    // first to consume() gets it, the others look again and sleep.
    for (Waiter* waiter : m_vecWaiters) {
        std::lock_guard<std::mutex> waiterLock(waiter->mutex);
        waiter->signalled = true;
        waiter->cv.notify_one();
    }
}

void VORNEvent::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bSet = false;
}

bool VORNEvent::IsSet() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bSet;
}

void VORNEvent::addWaiter(Waiter* waiter) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_vecWaiters.push_back(waiter);
}

void VORNEvent::removeWaiter(Waiter* waiter) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_vecWaiters.erase(std::remove(m_vecWaiters.begin(), m_vecWaiters.end(), waiter),
                       m_vecWaiters.end());
}

bool VORNEvent::consume() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bSet) {
        return false;
    }
    if (m_bAutoReset) {
        m_bSet = false;
    }
    return true;
}

// libstdc++ waits on a system_clock deadline with an absolute CLOCK_REALTIME
// timed wait, which the kernel ends when the clock reaches the instant, across
// clock changes and suspend; a steady_clock deadline uses CLOCK_MONOTONIC.
template <typename Clock>
int WaitForEventsImpl(uint32_t count, VORNEvent* const* events, bool waitAll, bool timed,
                      typename Clock::time_point deadline) {
    if (count == 0 || events == nullptr || waitAll) {
        return kWaitFailed;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (events[i] == nullptr) {
            return kWaitFailed;
        }
    }

    VORNEvent::Waiter waiter;
    for (uint32_t i = 0; i < count; ++i) {
        events[i]->addWaiter(&waiter);
    }
    int result = kWaitTimeout;
    for (;;) {
        {
            // Cleared before looking, so a Set between the look and the sleep
            // is not lost.
            std::lock_guard<std::mutex> lock(waiter.mutex);
            waiter.signalled = false;
        }
        bool found = false;
        for (uint32_t i = 0; i < count && !found; ++i) {
            if (events[i]->consume()) {
                result = static_cast<int>(i);
                found = true;
            }
        }
        if (found) {
            break;
        }
        std::unique_lock<std::mutex> lock(waiter.mutex);
        if (!timed) {
            waiter.cv.wait(lock, [&] { return waiter.signalled; });
        } else if (!waiter.cv.wait_until(lock, deadline, [&] { return waiter.signalled; })) {
            result = kWaitTimeout;
            break;
        }
    }
    for (uint32_t i = 0; i < count; ++i) {
        events[i]->removeWaiter(&waiter);
    }
    return result;
}

int WaitForEvents(uint32_t count, VORNEvent* const* events, bool waitAll, uint32_t timeoutMs) {
    using Clock = std::chrono::steady_clock;
    return WaitForEventsImpl<Clock>(count, events, waitAll, timeoutMs != kInfinite,
                                    Clock::now() + std::chrono::milliseconds(timeoutMs));
}

int WaitForEventsUntil(uint32_t count, VORNEvent* const* events,
                       std::chrono::system_clock::time_point deadline) {
    return WaitForEventsImpl<std::chrono::system_clock>(count, events, false, true, deadline);
}

int WaitForEventsUntil(uint32_t count, VORNEvent* const* events,
                       std::chrono::steady_clock::time_point deadline) {
    return WaitForEventsImpl<std::chrono::steady_clock>(count, events, false, true, deadline);
}

}  // namespace vorn
