// The agent: owns the identity machinery and runs all identity work on its
// main thread, which sleeps on three events and an optional rate-limit timer.
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
    // Null: the process's store reader/writer, initialised on "vornstore.json"
    // in the data directory.
    IVORNIdentityStore* store = nullptr;
    // Empty: the system clock.
    SecondsClock clock;
    // Receives a one-line status after every identity outcome ("identity
    // held", "no identity: <why>", "rate-limited until <UTC time>"). Empty:
    // the service manager's status line.
    std::function<void(const std::string&)> statusSink;
    // Empty: std::chrono::steady_clock.
    MonotonicClock monotonicClock;
};

class CVORNAgent {
public:
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

    // Body of the agent's main thread; returns when the shutdown event is
    // taken (VORN_OK) or when the refresh handler cannot be registered.
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
    // Answers and clears the pending refresh, if any. m_mutex must not be held.
    void answerPendingRefresh(IpcRefreshTokenRsp::eRefreshTokenResponse answer);
    // Passes the state after an outcome to the status sink. m_mutex must not
    // be held.
    void reportStatus(IpcRefreshTokenRsp::eRefreshTokenResponse outcome);

    std::unique_ptr<IAttributeCollector> m_ptrAttributeCollector;
    DeviceKeyBinding m_deviceKeyBinding;  // main thread only
    CloudCommunicator m_cloudCommunicator;
    CIPCAgent m_ipcAgent;
    IVORNIdentityStore* m_ptrStore = nullptr;
    RefreshTokenCallback m_refreshTokenCallback;  // guarded by m_mutex
    std::mutex m_mutex;
    IdentityServiceResponse m_identityResponse;  // guarded by m_mutex
    VORNEvent m_idRequestEvent{true};
    VORNEvent m_idResponseEvent{true};
    VORNEvent m_shutdownEvent{true};
    SecondsClock m_fnNow;
    std::function<void(const std::string&)> m_fnStatusSink;
    MonotonicClock m_fnMonotonicNow;
    // Main thread only.
    bool m_bExchangeInFlight = false;
    std::optional<std::chrono::steady_clock::time_point> m_lastExchangeEnd;
    // Real (steady_clock) instant at which a deferred refresh is looked at again.
    std::optional<std::chrono::steady_clock::time_point> m_deferredRefreshAt;
};

}  // namespace vorn
