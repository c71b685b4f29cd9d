#include "common/logratelimit.h"

#include <utility>

namespace vorn {

CLogRateLimiter::CLogRateLimiter(Clock clock, uint32_t linesPerWindow,
                                 std::chrono::milliseconds window)
    : m_fnClock(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })),
      m_nLinesPerWindow(linesPerWindow),
      m_window(window) {}

bool CLogRateLimiter::Admit(uint64_t& suppressed) {
    suppressed = 0;
    const auto now = m_fnClock();
    std::lock_guard<std::mutex> lock(m_mutex);
    // A clock that went backwards (only an injected one can) also opens a new
    // window rather than closing this site for good.
    if (!m_bStarted || now - m_windowStart >= m_window || now < m_windowStart) {
        m_bStarted = true;
        m_windowStart = now;
        m_nLinesInWindow = 0;
    }
    if (m_nLinesInWindow >= m_nLinesPerWindow) {
        ++m_nSuppressed;
        return false;
    }
    ++m_nLinesInWindow;
    suppressed = m_nSuppressed;
    m_nSuppressed = 0;
    return true;
}

}  // namespace vorn
