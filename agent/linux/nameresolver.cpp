#include "agent/linux/nameresolver.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/linux/processstop.h"
#include "common/textescape.h"
#include "common/vornlogger.h"

namespace vorn {

namespace {

// What a lookup thread and its caller share. Whoever lets go last closes the
// pipe, so an abandoned lookup never writes into a descriptor number that has
// been reused.
struct PendingLookup {
    PendingLookup() {
        if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
            wake[0] = wake[1] = -1;
        }
    }
    ~PendingLookup() {
        for (const int fd : wake) {
            if (fd >= 0) {
                (void)::close(fd);
            }
        }
    }
    PendingLookup(const PendingLookup&) = delete;
    PendingLookup& operator=(const PendingLookup&) = delete;

    std::mutex mutex;
    bool done = false;       // guarded by mutex
    bool found = false;      // guarded by mutex
    std::string canonical;   // guarded by mutex
    int wake[2] = {-1, -1};  // a byte is written to wake[1] when done
};

void RunLookup(const CanonicalNameResolver::Lookup& lookup, const std::string& host,
               PendingLookup& pending) {
    std::string canonical;
    bool found = false;
    try {
        found = lookup(host, canonical);
    } catch (...) {
        // A failed lookup is a lookup without an answer.
        found = false;
    }
    {
        std::lock_guard<std::mutex> lock(pending.mutex);
        pending.done = true;
        pending.found = found;
        pending.canonical = std::move(canonical);
    }
    const char byte = 1;
    ssize_t ignored = ::write(pending.wake[1], &byte, 1);
    (void)ignored;
}

}  // namespace

bool SystemCanonicalName(const std::string& host, std::string& canonical) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0) {
        return false;
    }
    const bool found = result != nullptr && result->ai_canonname != nullptr;
    if (found) {
        canonical = result->ai_canonname;
    }
    ::freeaddrinfo(result);
    return found;
}

CanonicalNameResolver::CanonicalNameResolver(Lookup lookup, std::chrono::milliseconds timeout)
    : m_fnLookup(std::move(lookup)),
      m_timeout(timeout),
      m_running(std::make_shared<std::atomic<int>>(0)) {}

// A started lookup, or why none was started (told when it is finished, so
// that its log lines come where the answer is taken).
class CanonicalNameResolver::Pending {
public:
    enum class eRefused { None, Stopping, TooMany, NoPipe, NoThread };

    std::string m_strShown;  // the host, escaped for the log
    eRefused m_eRefused = eRefused::None;
    int m_running = 0;       // TooMany: lookups still running
    int m_errno = 0;         // NoPipe
    std::string m_strError;  // NoThread
    std::shared_ptr<PendingLookup> m_spLookup;
    std::chrono::steady_clock::time_point m_deadline;
};

std::shared_ptr<CanonicalNameResolver::Pending> CanonicalNameResolver::Start(
    const std::string& host) {
    auto started = std::make_shared<Pending>();
    started->m_strShown = EscapeUntrusted(host, 256);
    started->m_deadline = std::chrono::steady_clock::now() + m_timeout;
    if (ProcessStopRequested()) {
        started->m_eRefused = Pending::eRefused::Stopping;
        return started;
    }
    const int running = m_running->load();
    if (running >= kMaxAbandoned) {
        started->m_eRefused = Pending::eRefused::TooMany;
        started->m_running = running;
        return started;
    }
    auto pending = std::make_shared<PendingLookup>();
    if (pending->wake[0] < 0) {
        started->m_eRefused = Pending::eRefused::NoPipe;
        started->m_errno = errno;
        return started;
    }
    m_running->fetch_add(1);
    try {
        std::thread([lookup = m_fnLookup, host, pending, running = m_running] {
            RunLookup(lookup, host, *pending);
            running->fetch_sub(1);
        }).detach();
    } catch (const std::system_error& error) {
        m_running->fetch_sub(1);
        started->m_eRefused = Pending::eRefused::NoThread;
        started->m_strError = error.what();
        return started;
    }
    started->m_spLookup = std::move(pending);
    // The scheduler often queues a new thread on the creating thread's
    // processor, where it runs only once this one waits for it. The lookup usually answers from
    // local files in a fraction of a millisecond: run it now, and this thread
    // goes on as soon as it answers or blocks on a name server, instead of
    // paying two cross-processor wake-ups when it first needs the answer.
    (void)sched_yield();
    return started;
}

bool CanonicalNameResolver::Finish(Pending& started, std::string& canonical) {
    const char* shown = started.m_strShown.c_str();
    switch (started.m_eRefused) {
        case Pending::eRefused::None:
            break;
        case Pending::eRefused::Stopping:
            VORN_LOG_DEBUG("No canonical name for %s: the process is stopping", shown);
            return false;
        case Pending::eRefused::TooMany:
            VORN_LOG_WARNING("No canonical name for %s: %d earlier lookups have not finished",
                             shown, started.m_running);
            return false;
        case Pending::eRefused::NoPipe:
            errno = started.m_errno;
            VORN_LOG_ERRNO(CVORNLogger::kError, "No canonical name for %s", shown);
            return false;
        case Pending::eRefused::NoThread:
            VORN_LOG_ERROR("No canonical name for %s: %s", shown, started.m_strError.c_str());
            return false;
    }
    PendingLookup& pending = *started.m_spLookup;
    using Clock = std::chrono::steady_clock;
    pollfd fds[2] = {{pending.wake[0], POLLIN, 0}, {ProcessStopFd(), POLLIN, 0}};
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(pending.mutex);
            if (pending.done) {
                if (!pending.found) {
                    VORN_LOG_DEBUG("No canonical name for %s", shown);
                    return false;
                }
                canonical = pending.canonical;
                return true;
            }
        }
        if (ProcessStopRequested()) {
            VORN_LOG_DEBUG("Canonical name lookup for %s abandoned: the process is stopping",
                           shown);
            return false;
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(started.m_deadline - Clock::now());
        if (left.count() <= 0) {
            VORN_LOG_WARNING("Canonical name lookup for %s abandoned after %lld ms", shown,
                             static_cast<long long>(m_timeout.count()));
            return false;
        }
        // Without the latch's descriptor, look at it again in short steps.
        const long long cap = ProcessStopFd() < 0 ? 20 : INT_MAX;
        (void)::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), cap)));
    }
}

bool CanonicalNameResolver::Resolve(const std::string& host, std::string& canonical) {
    return Finish(*Start(host), canonical);
}

CanonicalNameResolver& SystemResolver() {
    static CanonicalNameResolver resolver;
    return resolver;
}

bool ResolveCanonicalName(const std::string& host, std::string& canonical) {
    return SystemResolver().Resolve(host, canonical);
}

}  // namespace vorn
