// A per-call-site limit on log lines caused by input from outside the process.
//
// A local user can send the agent any number of datagrams; if each one wrote
// its lines unchecked, the rotation would push the start-up lines and any
// evidence out of the last log generation within seconds. Each call site of
// VORN_LOG_LIMITED owns one CLogRateLimiter: up to kLinesPerWindow lines per
// window pass, the rest are counted, and the next line that passes is preceded
// by one line saying how many similar lines were suppressed. The texts stay
// what they are; only their number is bounded.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

#include "common/vornlogger.h"

namespace vorn {

class CLogRateLimiter {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr uint32_t kLinesPerWindow = 20;
    static constexpr std::chrono::milliseconds kWindow{1000};

    // 'clock' empty: the steady clock.
    explicit CLogRateLimiter(Clock clock = Clock(), uint32_t linesPerWindow = kLinesPerWindow,
                             std::chrono::milliseconds window = kWindow);

    // Whether one more line may be written now. When it may and lines were
    // suppressed since the last line that passed, 'suppressed' receives their
    // number (otherwise 0) and the count starts again. Any thread.
    bool Admit(uint64_t& suppressed);

private:
    Clock m_fnClock;
    const uint32_t m_nLinesPerWindow;
    const std::chrono::milliseconds m_window;
    std::mutex m_mutex;
    std::chrono::steady_clock::time_point m_windowStart;  // guarded by m_mutex
    bool m_bStarted = false;                              // guarded by m_mutex
    uint32_t m_nLinesInWindow = 0;                        // guarded by m_mutex
    uint64_t m_nSuppressed = 0;                           // guarded by m_mutex
};

}  // namespace vorn

// VORN_LOG with a per-call-site limit, for lines that outside input can cause
// in any number (a datagram received, ignored or answered). The level check
// comes first, so lines below the logger's level use up no allowance.
#define VORN_LOG_LIMITED(level, ...)                                                 \
    do {                                                                             \
        CVORNLogger* vornLimitedLogger_ = CVORNLogger::TryGetInstance();             \
        if (vornLimitedLogger_ != nullptr && vornLimitedLogger_->IsEnabled(level)) { \
            static ::vorn::CLogRateLimiter vornLimiter_;                             \
            uint64_t vornSuppressed_ = 0;                                            \
            if (vornLimiter_.Admit(vornSuppressed_)) {                               \
                if (vornSuppressed_ != 0) {                                          \
                    VORN_LOG(level, "%llu similar lines suppressed",                 \
                             static_cast<unsigned long long>(vornSuppressed_));      \
                }                                                                    \
                VORN_LOG(level, __VA_ARGS__);                                        \
            }                                                                        \
        }                                                                            \
    } while (0)

#define VORN_LOG_LIMITED_ERROR(...) VORN_LOG_LIMITED(CVORNLogger::kError, __VA_ARGS__)
#define VORN_LOG_LIMITED_WARNING(...) VORN_LOG_LIMITED(CVORNLogger::kWarning, __VA_ARGS__)
#define VORN_LOG_LIMITED_DEBUG(...) VORN_LOG_LIMITED(CVORNLogger::kDebug, __VA_ARGS__)
