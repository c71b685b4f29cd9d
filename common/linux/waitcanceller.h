// A switch, thrown once, that wakes a thread sleeping in poll(): the owner
// that stops the thread throws it, and every wait of that thread which polls
// its descriptor ends at once instead of running to its own deadline.
#pragma once

#include <atomic>

namespace vorn {

class WaitCanceller {
public:
    WaitCanceller();
    ~WaitCanceller();
    WaitCanceller(const WaitCanceller&) = delete;
    WaitCanceller& operator=(const WaitCanceller&) = delete;

    // Throws the switch; it stays thrown. Any thread, any number of times;
    // takes no lock.
    void Cancel() noexcept;

    bool IsCancelled() const noexcept { return m_bCancelled.load(); }

    // Polls readable (POLLIN) once Cancel has been called; never read it.
    // -1 when it could not be made: a waiter then sleeps in short slices and
    // checks IsCancelled between them.
    int Fd() const noexcept { return m_fd; }

    // The longest slice of such a waiter.
    static constexpr int kFallbackSliceMs = 100;

private:
    int m_fd;
    std::atomic<bool> m_bCancelled{false};
};

}  // namespace vorn
