// The machine's canonical (fully qualified) host name, looked up without
// letting a slow or dead resolver hold up the collector or the shutdown.
//
// getaddrinfo() cannot be interrupted and, with a resolver that never
// answers, returns only after the C library's own retries (tens of seconds).
// Each lookup therefore runs on a detached thread of its own that shares
// nothing with the caller but a small reference-counted record: the caller
// waits at most the time-out, or not at all once the process is stopping,
// and an abandoned lookup finishes (or is cut off by the process exit) on its
// own without touching anything the caller owns.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace vorn {

// The blocking lookup: getaddrinfo with AI_CANONNAME. False when the
// resolver gives no canonical name.
bool SystemCanonicalName(const std::string& host, std::string& canonical);

class CanonicalNameResolver {
public:
    // A lookup that may block; called on the lookup thread, so it must not
    // reach anything that may be gone by the time it returns.
    using Lookup = std::function<bool(const std::string& host, std::string& canonical)>;

    static constexpr std::chrono::milliseconds kTimeout{2000};
    // Lookups still running after being abandoned; beyond this many, new
    // lookups are not started (a dead resolver must not pile up threads).
    static constexpr int kMaxAbandoned = 2;

    explicit CanonicalNameResolver(Lookup lookup = SystemCanonicalName,
                                   std::chrono::milliseconds timeout = kTimeout);

    // True, with 'canonical' set, when the lookup answered within the
    // time-out. False (no canonical name, the same result as a resolver that
    // has none) when it did not answer in time, when the process is stopping
    // (common/linux/processstop.h), or when too many earlier lookups are still
    // running. Any thread; concurrent calls are independent.
    bool Resolve(const std::string& host, std::string& canonical);

    // Resolve in two steps, so that the caller can do other work while the
    // lookup runs: Start begins it (logging nothing), Finish waits for it
    // until the time-out counted from Start and gives Resolve's result and
    // log lines. A lookup started and never finished is abandoned.
    class Pending;
    std::shared_ptr<Pending> Start(const std::string& host);
    bool Finish(Pending& pending, std::string& canonical);

    // Lookup threads started by this resolver that have not finished yet.
    int Running() const { return m_running->load(); }

private:
    Lookup m_fnLookup;
    std::chrono::milliseconds m_timeout;
    std::shared_ptr<std::atomic<int>> m_running;
};

// The process-wide resolver the collector uses, on the system's lookup.
CanonicalNameResolver& SystemResolver();
bool ResolveCanonicalName(const std::string& host, std::string& canonical);

}  // namespace vorn
