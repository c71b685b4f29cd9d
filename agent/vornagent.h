// The agent: owns the identity machinery and runs all identity work on its
// main thread, which sleeps on three events and an optional rate-limit timer.
//
// Store access: every read and write of one refresh (from the decision to ask
// the cloud to the stored answer) lies between the store's BeginRefresh and
// EndRefresh, so the store is read once and a lock held by another process
// delays the refresh by one lock budget at most. Between refreshes the main
// loop does not touch the store.
//
// Rate limit: the cloud's Retry-After is stored as a wall-clock deadline (it
// must outlive a restart), but within a run it is timed on the boot clock, so
// no step of the wall clock stretches the wait or ends it early.
//
// Threads: the main thread (MainThreadProc) builds requests and applies
// answers; the cloud communicator's worker calls notifyIdentityServiceResponse;
// the IPC receiver calls refreshToken; the entry thread calls ShutDown. The
// last three only hand over under m_mutex and set an event.
//
// Lock order: the IPC service's mutex (held while refreshToken runs), then
// m_mutex, then the store's own locks, then the logger's. A refresh callback
// (which takes the IPC service's mutex) is only ever called with m_mutex
// released.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "agent/attribute.h"
#include "agent/cloudcommunicator.h"
#include "agent/devicekeybinding.h"
#include "agent/httptransport.h"
#include "agent/identityservice.h"
#include "agent/ipcagent.h"
#include "agent/vornevent.h"
#include "agent/vornidentitystore.h"
#include "common/ipcmessage.h"
#include "common/vornstatus.h"

namespace vorn {

// Seconds since 1970-01-01 UTC; injectable so rate-limit timing is testable.
using SecondsClock = std::function<int64_t()>;
int64_t SystemSecondsNow();

// A monotonic clock for the spacing of refreshes; injectable likewise.
using MonotonicClock = std::function<std::chrono::steady_clock::time_point()>;

// Time since boot including suspend (CLOCK_BOOTTIME), which no setting of the
// wall clock moves: a rate limit is timed on it within a run. Injectable.
using BootClock = std::function<std::chrono::nanoseconds()>;
std::chrono::nanoseconds BootTimeNow();

// The main loop's wait timeout for a stored retry timestamp: kInfinite when
// 'now' is not earlier than the timestamp, otherwise the remaining time in
// milliseconds, clamped to the largest finite timeout when it does not fit.
uint32_t RateLimitTimeoutMs(int64_t now, int64_t retryTimestamp);

// What the agent is built from. Production leaves every member empty and gets
// the Linux implementations; tests substitute fakes.
struct AgentComponents {
    // Null: the collector for this machine.
    std::unique_ptr<IAttributeCollector> collector;
    // Null: the libcurl HTTPS transport.
    std::unique_ptr<IHttpTransport> transport;
    // The loopback port local clients use (0: any free port, for tests).
    unsigned short ipcPort = kIpcAgentPort;
    // The authenticated local socket (kLocalSocketPath for the installed
    // agent). Empty: none, only the loopback port.
    std::string localSocketPath;
    // Null: the process's store reader/writer, initialised on "vornstore.json"
    // in the data directory.
    IVORNIdentityStore* store = nullptr;
    // Empty: the system clock.
    SecondsClock clock;
    // Receives a one-line status after every identity outcome ("identity
    // held", "no identity: <why>", "rate-limited until <UTC time>"). Empty:
    // the service manager's status line.
    std::function<void(const std::string&)> statusSink;
    // Receives the status line again, only when it differs from the last one
    // given here: one line in the journal for each change of the outcome.
    // Empty: a line on standard error, which the unit sends to the journal.
    std::function<void(const std::string&)> journalSink;
    // Empty: std::chrono::steady_clock.
    MonotonicClock monotonicClock;
    // Empty: BootTimeNow.
    BootClock bootClock;
};

class CVORNAgent {
public:
    // How long an outcome reached without an exchange answers later requests.
    static constexpr std::chrono::seconds kKnownOutcomeHold{1};

    // Throws std::runtime_error "Could not get VORN Directory Path" when the
    // data directory is not configured, "Could not initialize the VORN Store
    // while starting Agent" when the store cannot be used, and what the IPC
    // endpoint throws when its port cannot be bound.
    CVORNAgent();
    explicit CVORNAgent(AgentComponents components);
    // Stops the IPC service's calls into the agent and the cloud worker before
    // any member they reach is destroyed. A pending refresh callback is
    // destroyed without being called.
    ~CVORNAgent();

    CVORNAgent(const CVORNAgent&) = delete;
    CVORNAgent& operator=(const CVORNAgent&) = delete;

    // Body of the agent's main thread; returns VORN_OK when the shutdown
    // event is taken. The refresh handler is registered by the constructor,
    // before the endpoint reads anything, so a refresh asked for before this
    // runs is answered by the exchange it starts with.
    VORN_STATUS MainThreadProc();

    // Asks the main thread to leave its loop; returns at once. Any thread.
    void ShutDown();

    // The refresh handler registered with the IPC service (receiver thread):
    // VORN_OK when the refresh was accepted, VORN_BUSY when one is pending.
    VORN_STATUS refreshToken(RefreshTokenCallback callback);

    // The cloud communicator's callback (worker thread).
    void notifyIdentityServiceResponse(const IdentityServiceResponse& response);

    // The bound IPC port (useful when the agent was given port 0).
    unsigned short GetIpcPort() const { return m_ipcAgent.GetLocalPort(); }

private:
    VORN_STATUS sendIdentityServiceRequest();
    // The request event: a local client asked. Sends at once, or joins the
    // exchange in flight, or defers the exchange until the configured
    // interval since the previous one has passed (the clients keep waiting
    // and share it).
    VORN_STATUS handleRefreshRequest();
    // The loop's next wait: until an event, the rate-limit instant or the
    // deferred refresh, whichever comes first.
    int waitForNextEvent(VORNEvent* const* events);
    VORN_STATUS handleIdentityServiceResponse();
    // Answers and clears the pending refresh, if any, and reports the state
    // unless 'report' is false (the state is unchanged). m_mutex must not be
    // held.
    void answerPendingRefresh(IpcRefreshTokenRsp::eRefreshTokenResponse answer, bool report = true);
    // Remembers an outcome reached without an exchange (no business data, no
    // mandatory attribute, a request that could not be built), so that
    // requests in the next kKnownOutcomeHold get it at once without a
    // collection or a configuration read.
    void rememberImmediateOutcome(IpcRefreshTokenRsp::eRefreshTokenResponse answer);
    // Passes the state after an outcome to the status sink. m_mutex must not
    // be held.
    void reportStatus(IpcRefreshTokenRsp::eRefreshTokenResponse outcome);
    // Takes up the stored retry timestamp unless it is the one the rate
    // limit in memory was made from (reads the store: within a refresh only).
    // A timestamp stored before this run is trusted for at most the
    // Retry-After seconds it was made from, since the wall clock may have
    // been set back since.
    void loadRateLimit();
    // Time left of the rate limit in force, by the boot clock; 0 when none.
    std::chrono::nanoseconds rateLimitLeft() const;
    // Closes the store's bracket of the refresh under way, if any.
    void endRefresh();

    std::unique_ptr<IAttributeCollector> m_ptrAttributeCollector;
    DeviceKeyBinding m_deviceKeyBinding;  // main thread only
    CloudCommunicator m_cloudCommunicator;
    IVORNIdentityStore* m_ptrStore = nullptr;
    RefreshTokenCallback m_refreshTokenCallback;  // guarded by m_mutex
    std::mutex m_mutex;
    IdentityServiceResponse m_identityResponse;  // guarded by m_mutex
    VORNEvent m_idRequestEvent{true};
    VORNEvent m_idResponseEvent{true};
    VORNEvent m_shutdownEvent{true};
    SecondsClock m_fnNow;
    std::function<void(const std::string&)> m_fnStatusSink;
    std::function<void(const std::string&)> m_fnJournalSink;
    MonotonicClock m_fnMonotonicNow;
    BootClock m_fnBootNow;
    // Main thread only.
    // The rate limit: the stored timestamp it was made from (the cloud's
    // answer, or what the store held) and its end on the boot clock.
    struct RateLimit {
        int64_t storedTimestamp = 0;
        std::chrono::nanoseconds bootDeadline{0};
        // What "Setting timeout for cloud rate limit" says once per limit.
        uint32_t announcedMs = 0;
        bool announced = false;
    };
    std::optional<RateLimit> m_rateLimit;
    // Between the store's BeginRefresh and EndRefresh.
    bool m_bRefreshOpen = false;
    bool m_bExchangeInFlight = false;
    std::optional<std::chrono::steady_clock::time_point> m_lastExchangeEnd;
    // Why the last outcome was not a success, for the status line: escaped
    // and free of secrets; "" when not known. Main thread only.
    std::string m_strFailureReason;
    // What bs.json lacks, as of the last request built; "" when complete.
    // Main thread only.
    std::string m_strConfigProblem;
    // The status last given to the journal sink. Main thread only.
    std::string m_strJournalled;
    // Real (steady_clock) instant at which a deferred refresh is looked at again.
    std::optional<std::chrono::steady_clock::time_point> m_deferredRefreshAt;
    // See rememberImmediateOutcome; the instant is on m_fnMonotonicNow's clock.
    std::optional<IpcRefreshTokenRsp::eRefreshTokenResponse> m_knownOutcome;
    std::chrono::steady_clock::time_point m_knownOutcomeUntil;
    // The last status line passed to the sink: an unchanged state is not
    // sent again (a flood of refused requests would otherwise be a flood of
    // messages to the service manager).
    std::string m_strLastStatus;
    // Last member: its endpoint may call refreshToken as soon as it reads (a
    // request queued on a passed socket before the agent started), so
    // everything refreshToken reaches is constructed before it and destroyed
    // after it.
    CIPCAgent m_ipcAgent;
};

}  // namespace vorn
