#include "agent/vornagent.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <stdexcept>
#include <string>

#include "agent/attributecollectorfactory.h"
#include "agent/httptransportfactory.h"
#include "agent/vornconfig.h"
#include "agent/vornstorereaderwriter.h"
#include "common/linux/memoryrelease.h"
#include "common/linux/servicenotifier.h"
#include "common/logratelimit.h"
#include "common/refreshclient.h"
#include "common/textescape.h"
#include "common/vornlogger.h"
#include "common/vornpath.h"

namespace vorn {

namespace {

std::unique_ptr<IAttributeCollector> CollectorOrDefault(
    std::unique_ptr<IAttributeCollector> collector) {
    return collector ? std::move(collector) : CreateAttributeCollector();
}

std::unique_ptr<IHttpTransport> TransportOrDefault(std::unique_ptr<IHttpTransport> transport) {
    return transport ? std::move(transport) : CreateHttpTransport();
}

// Longest rate limit timed on the boot clock (some 136 years): keeps the
// nanosecond arithmetic far from overflow whatever a stored text says.
constexpr int64_t kLongestRateLimitSeconds = int64_t{1} << 32;

// While a rate limit lasts the loop wakes at least this often and looks at the
// boot clock again: waits are timed on the monotonic clock, which stands still
// during a suspend.
constexpr std::chrono::seconds kRateLimitRecheck{30};

// now + seconds without overflowing (a Retry-After is at most 32 bits, but
// the clock is injected).
int64_t SaturatingAdd(int64_t now, int64_t seconds) {
    if (seconds > 0 && now > std::numeric_limits<int64_t>::max() - seconds) {
        return std::numeric_limits<int64_t>::max();
    }
    if (seconds < 0 && now < std::numeric_limits<int64_t>::min() - seconds) {
        return std::numeric_limits<int64_t>::min();
    }
    return now + seconds;
}

}  // namespace

int64_t SystemSecondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::chrono::nanoseconds BootTimeNow() {
    timespec now{};
    (void)::clock_gettime(CLOCK_BOOTTIME, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

uint32_t RateLimitTimeoutMs(int64_t now, int64_t retryTimestamp) {
    if (now >= retryTimestamp) {
        return kInfinite;
    }
    const uint64_t remaining = static_cast<uint64_t>(retryTimestamp) - static_cast<uint64_t>(now);
    constexpr uint64_t kLargestFinite = static_cast<uint64_t>(kInfinite) - 1;
    if (remaining > kLargestFinite / 1000) {
        return static_cast<uint32_t>(kLargestFinite);
    }
    return static_cast<uint32_t>(remaining * 1000);
}

CVORNAgent::CVORNAgent() : CVORNAgent(AgentComponents{}) {}

// The analyser loses track of the collector when a later member throws; the
// unique_ptr member releases it during unwinding.
// NOLINTBEGIN(clang-analyzer-cplusplus.NewDeleteLeaks)
CVORNAgent::CVORNAgent(AgentComponents components)
    : m_ptrAttributeCollector(CollectorOrDefault(std::move(components.collector))),
      m_cloudCommunicator(TransportOrDefault(std::move(components.transport))),
      m_ptrStore(components.store),
      m_fnNow(components.clock ? std::move(components.clock) : SecondsClock(SystemSecondsNow)),
      m_fnStatusSink(components.statusSink
                         ? std::move(components.statusSink)
                         : std::function<void(const std::string&)>(NotifyServiceStatus)),
      m_fnJournalSink(components.journalSink
                          ? std::move(components.journalSink)
                          : std::function<void(const std::string&)>(WriteJournalLine)),
      m_fnMonotonicNow(components.monotonicClock ? std::move(components.monotonicClock)
                                                 : MonotonicClock(std::chrono::steady_clock::now)),
      m_fnBootNow(components.bootClock ? std::move(components.bootClock) : BootClock(BootTimeNow)),
      m_ipcAgent(
          components.ipcPort,
          [this](RefreshTokenCallback callback) { return refreshToken(std::move(callback)); },
          components.localSocketPath) {
    // NOLINTEND(clang-analyzer-cplusplus.NewDeleteLeaks)
    VORN_LOG_VERBOSE("Registered refresh token handler");
    if (m_ptrStore == nullptr) {
        std::string dataDirectory;
        if (GetVORNDirectoryPath(dataDirectory) != VORN_OK) {
            throw std::runtime_error("Could not get VORN Directory Path");
        }
        CVORNStoreReaderWriter& store = CVORNStoreReaderWriter::GetInstance();
        if (store.Initialize(CVORNStoreReaderWriter::eStoreTypeFile,
                             dataDirectory + "vornstore.json") != VORN_OK) {
            throw std::runtime_error("Could not initialize the VORN Store while starting Agent");
        }
        m_ptrStore = &store;
    }
}

CVORNAgent::~CVORNAgent() {
    // The events, the mutex and the pending callback are destroyed before the
    // IPC service and the cloud communicator (members go in reverse order), so
    // their threads must stop calling into the agent first. Unregistering waits
    // for a handler call in progress; stopping the communicator joins its
    // worker after the exchange in progress has delivered its answer.
    (void)m_ipcAgent.RegisterRefreshTokenHandler(RefreshTokenHandler());
    m_cloudCommunicator.Stop();
}

void CVORNAgent::ShutDown() {
    VORN_LOG_DEBUG("ShutDown is invoked");
    m_shutdownEvent.Set();
}

void CVORNAgent::reportStatus(IpcRefreshTokenRsp::eRefreshTokenResponse outcome) {
    const std::chrono::nanoseconds left = rateLimitLeft();
    std::string status;
    if (outcome == IpcRefreshTokenRsp::eRefreshTokenRateLimited && left.count() > 0) {
        // The end as the wall clock now tells it, a partial second rounded up.
        const int64_t seconds = std::chrono::ceil<std::chrono::seconds>(left).count();
        status = RateLimitedStatus(SaturatingAdd(m_fnNow(), seconds));
    } else if (outcome == IpcRefreshTokenRsp::eRefreshTokenSuccess) {
        status = "identity held";
    } else {
        // What an administrator can act on: the configuration first, since
        // nothing else can work without it.
        std::string reason = m_strFailureReason;
        if (!m_strConfigProblem.empty()) {
            reason = "configuration missing: " + m_strConfigProblem;
        }
        if (!m_ptrStore->GetVORN().empty()) {
            // A failed refresh leaves the stored identity in force.
            status =
                reason.empty() ? "identity held" : "identity held; last refresh failed: " + reason;
        } else {
            status = "no identity: " + (reason.empty() ? RefreshOutcomeName(outcome) : reason);
        }
    }
    // Both only when the text changes: a flood of refused requests must not
    // become a flood of messages to the service manager or the journal.
    if (status != m_strLastStatus) {
        m_strLastStatus = status;
        m_fnStatusSink(status);
    }
    if (status != m_strJournalled) {
        m_strJournalled = status;
        m_fnJournalSink(status);
    }
}

void CVORNAgent::loadRateLimit() {
    const int64_t stored = m_ptrStore->GetRetryTimestamp().count();
    if (m_rateLimit && m_rateLimit->storedTimestamp == stored) {
        return;
    }
    const int64_t now = m_fnNow();
    int64_t left = 0;
    if (now < stored) {
        const uint64_t ahead = static_cast<uint64_t>(stored) - static_cast<uint64_t>(now);
        left = static_cast<int64_t>(
            std::min<uint64_t>(ahead, static_cast<uint64_t>(kLongestRateLimitSeconds)));
        const IVORNIdentityStore::RetryAfterReceived received = m_ptrStore->GetRetryAfterReceived();
        if (received.seconds.count() > 0 && left > received.seconds.count()) {
            // It was set to the moment of the answer plus its Retry-After:
            // further away than that, the clock has been set back since.
            VORN_LOG_WARNING(
                "Stored rate limit ends %lld s from now, but the cloud asked at %lld for %lld s; "
                "the clock was set back since, so the wait is %lld s",
                static_cast<long long>(left), static_cast<long long>(received.at.count()),
                static_cast<long long>(received.seconds.count()),
                static_cast<long long>(received.seconds.count()));
            left = received.seconds.count();
        }
    }
    RateLimit limit;
    limit.storedTimestamp = stored;
    limit.bootDeadline = m_fnBootNow() + std::chrono::seconds(left);
    limit.announcedMs = RateLimitTimeoutMs(0, left);
    m_rateLimit = limit;
}

std::chrono::nanoseconds CVORNAgent::rateLimitLeft() const {
    if (!m_rateLimit) {
        return std::chrono::nanoseconds(0);
    }
    return std::max(std::chrono::nanoseconds(0), m_rateLimit->bootDeadline - m_fnBootNow());
}

void CVORNAgent::endRefresh() {
    if (m_bRefreshOpen) {
        m_bRefreshOpen = false;
        m_ptrStore->EndRefresh();
    }
}

void CVORNAgent::answerPendingRefresh(IpcRefreshTokenRsp::eRefreshTokenResponse answer,
                                      bool report) {
    if (report) {
        reportStatus(answer);
    }
    RefreshTokenCallback callback;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        callback = std::move(m_refreshTokenCallback);
        m_refreshTokenCallback = nullptr;
        // The refresh is answered; its request event, when the main thread
        // has not taken it yet (a refresh accepted while this one was under
        // way, say the start-up's waiting for the store's lock), would only
        // start a second exchange nobody waits for.
        if (callback) {
            m_idRequestEvent.Reset();
        }
    }
    if (callback) {
        callback(answer);
    }
}

void CVORNAgent::rememberImmediateOutcome(IpcRefreshTokenRsp::eRefreshTokenResponse answer) {
    m_knownOutcome = answer;
    m_knownOutcomeUntil = m_fnMonotonicNow() + kKnownOutcomeHold;
}

VORN_STATUS CVORNAgent::sendIdentityServiceRequest() {
    if (rateLimitLeft().count() > 0 &&
        m_ptrStore->GetRetryTimestamp().count() == m_rateLimit->storedTimestamp) {
        // A limit already known, and still the one stored, is answered at
        // once without opening a refresh: every line this path writes is
        // limited, so a flood of requests cannot rotate the start-up lines
        // out of the log.
        VORN_LOG_LIMITED_DEBUG("Cloud Rate Limit Hit.");
        answerPendingRefresh(IpcRefreshTokenRsp::eRefreshTokenRateLimited);
        return VORN_OK;
    }
    endRefresh();
    m_bRefreshOpen = true;
    if (m_ptrStore->BeginRefresh() != VORN_OK) {
        // Nothing stored could be read (the rate limit included) and the
        // answer could not be stored: asking the cloud would only cost it an
        // identity that is then lost.
        VORN_LOG_ERROR("Store is locked by another process; no identity request is sent");
        answerPendingRefresh(IpcRefreshTokenRsp::eRefreshTokenCommError);
        endRefresh();
        return VORN_FAILED;
    }
    loadRateLimit();
    if (rateLimitLeft().count() > 0) {
        VORN_LOG_LIMITED_DEBUG("Cloud Rate Limit Hit.");
        answerPendingRefresh(IpcRefreshTokenRsp::eRefreshTokenRateLimited);
        endRefresh();
        return VORN_OK;
    }
    if (m_knownOutcome && m_fnMonotonicNow() < m_knownOutcomeUntil) {
        // Nothing has been sent since the outcome was found, and nothing a
        // request could change has been looked at again: the same answer,
        // without a collection per request.
        VORN_LOG_LIMITED_DEBUG("Refresh answered with the outcome found less than %lld s ago",
                               static_cast<long long>(kKnownOutcomeHold.count()));
        answerPendingRefresh(*m_knownOutcome, false);
        return VORN_OK;
    }
    m_knownOutcome.reset();

    VORN_LOG_VERBOSE("Collecting attributes..");
    IdentityServiceRequest request;
    const CVORNConfig config;
    request.m_strBID = config.m_strBusinessId;
    request.m_strBToken = config.m_strInstallerKey;
    m_strConfigProblem = config.m_strBootstrapProblem;
    m_strFailureReason.clear();

    VORN_STATUS status = m_ptrAttributeCollector->GetAttributeList(request.m_lstAttributes);
    if (VORN_STATUS::VORN_OK != status) {
        VORN_LOG_ERROR("Failed in condition: (VORN_STATUS::VORN_OK != status)");
        // Nothing will reach the cloud, so no answer will come to release the
        // waiting clients: answer them now.
        m_strFailureReason = "the device's attributes could not be collected";
        answerPendingRefresh(IpcRefreshTokenRsp::eRefreshTokenCommError);
        endRefresh();
        rememberImmediateOutcome(IpcRefreshTokenRsp::eRefreshTokenCommError);
        return status;
    }

    request.m_strToken = m_ptrStore->GetToken();
    request.m_strVorn = m_ptrStore->GetVORN();
    request.m_strInstanceKey = m_ptrStore->GetInstanceKey();

    RequestSigner signer;
    if (!m_deviceKeyBinding.SignerFor(config, signer)) {
        answerPendingRefresh(IpcRefreshTokenRsp::eRefreshTokenCommError);
        return VORN_ERROR;
    }

    VORN_LOG_VERBOSE("Sending ID request to cloud..");
    status = m_cloudCommunicator.GetIdentity(
        config.m_strUrl, request,
        [this](const IdentityServiceResponse& response) {
            notifyIdentityServiceResponse(response);
        },
        std::move(signer));
    if (VORN_STATUS::VORN_OK != status) {
        VORN_LOG_ERROR("Failed in condition: (VORN_STATUS::VORN_OK != status)");
        // A request that cannot be serialised lacks what the service
        // requires of every device; anything else is the worker's state.
        m_strFailureReason =
            status == VORN_ERROR
                ? "the request could not be built: the machine's serial number, UUID or "
                  "host name is missing (see vornctl attributes)"
                : "the request could not be sent";
        answerPendingRefresh(IpcRefreshTokenRsp::eRefreshTokenCommError);
        endRefresh();
        rememberImmediateOutcome(IpcRefreshTokenRsp::eRefreshTokenCommError);
    } else {
        // The bracket stays open until the answer is stored.
        m_bExchangeInFlight = true;
    }
    return status;
}

VORN_STATUS CVORNAgent::handleRefreshRequest() {
    if (m_bExchangeInFlight) {
        // Its answer goes to the pending callback, so the clients share it.
        VORN_LOG_LIMITED_DEBUG("Refresh request joins the exchange in progress");
        return VORN_OK;
    }
    // A rate limit in force is answered at once, without waiting (the store
    // is asked whether it still is).
    if (m_lastExchangeEnd && rateLimitLeft().count() == 0) {
        const int interval = CVORNConfig().m_nMinRefreshIntervalSeconds;
        const auto due = *m_lastExchangeEnd + std::chrono::seconds(interval);
        const auto now = m_fnMonotonicNow();
        if (now < due) {
            // Rounded up: rounded down, the last fraction of a millisecond
            // becomes a wait of 0 ms that ends at once, finds the interval not
            // yet over, and turns into a spin re-reading the configuration.
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now);
            m_deferredRefreshAt = std::chrono::steady_clock::now() + wait;
            VORN_LOG_LIMITED_DEBUG(
                "Refresh request deferred by %lld ms: at most one exchange every %d seconds",
                static_cast<long long>(wait.count()), interval);
            return VORN_OK;
        }
    }
    m_deferredRefreshAt.reset();
    return sendIdentityServiceRequest();
}

void CVORNAgent::notifyIdentityServiceResponse(const IdentityServiceResponse& response) {
    VORN_LOG_DEBUG("ID response received from cloud");
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_identityResponse = response;
    }
    m_idResponseEvent.Set();
}

VORN_STATUS CVORNAgent::handleIdentityServiceResponse() {
    IdentityServiceResponse response;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        response = m_identityResponse;
    }
    m_bExchangeInFlight = false;
    m_lastExchangeEnd = m_fnMonotonicNow();
    m_strFailureReason = response.m_strFailureReason;

    // The store is written without m_mutex: a write may wait for another
    // process's lock, and the IPC receiver must not wait with it.
    IpcRefreshTokenRsp::eRefreshTokenResponse answer = IpcRefreshTokenRsp::eRefreshTokenCommError;
    switch (response.m_status) {
        case VORN_CLOUD_RATE_LIMITED: {
            VORN_LOG_DEBUG("Rate limit response received from cloud");
            const int64_t now = m_fnNow();
            const int64_t seconds =
                std::clamp<int64_t>(response.m_nRetryAfterSeconds, 0, kLongestRateLimitSeconds);
            const int64_t retryAt = SaturatingAdd(now, seconds);
            RateLimit limit;
            limit.storedTimestamp = retryAt;
            limit.bootDeadline = m_fnBootNow() + std::chrono::seconds(seconds);
            limit.announcedMs = RateLimitTimeoutMs(0, seconds);
            if (m_ptrStore->SetRetryAfter(
                    std::chrono::seconds(retryAt),
                    {std::chrono::seconds(seconds), std::chrono::seconds(now)}) != VORN_OK) {
                VORN_LOG_ERROR("Failed to update Retry Timestamp");
                // Kept in this run all the same, against what the store
                // still holds.
                limit.storedTimestamp = m_ptrStore->GetRetryTimestamp().count();
            }
            m_rateLimit = limit;
            answer = IpcRefreshTokenRsp::eRefreshTokenRateLimited;
            break;
        }
        case VORN_CLOUD_ERROR_RESPONSE:
            VORN_LOG_ERROR("Error response received from  cloud: %s",
                           EscapeUntrusted(response.m_strErrorMsg, 2048).c_str());
            answer = IpcRefreshTokenRsp::eRefreshTokenErrorResponse;
            break;
        case VORN_OK:
            VORN_LOG_DEBUG("VORN received from cloud");
            if (response.m_strVorn.empty() || response.m_strToken.empty()) {
                // An unreadable success answer must not replace a stored
                // identity with empty values.
                VORN_LOG_ERROR(
                    "Success response without VORN or token; the stored identity is kept");
                m_strFailureReason = "the service's answer held no identity";
                answer = IpcRefreshTokenRsp::eRefreshTokenCommError;
            } else if (m_ptrStore->SetIdentity(response.m_strToken, response.m_strVorn,
                                               response.m_strInstanceKey) != VORN_OK) {
                // The three values are written as one change: all failed.
                VORN_LOG_ERROR("Failed to update Token");
                VORN_LOG_ERROR("Failed to update VORN");
                if (!response.m_strInstanceKey.empty()) {
                    VORN_LOG_ERROR("Failed to update Instance Key");
                }
                // The client would otherwise be told of an identity the
                // store does not hold.
                m_strFailureReason = "the identity could not be stored";
                answer = IpcRefreshTokenRsp::eRefreshTokenCommError;
            } else {
                answer = IpcRefreshTokenRsp::eRefreshTokenSuccess;
            }
            break;
        default:
            VORN_LOG_ERROR("Error occured in communication with cloud service: %d",
                           response.m_status);
            answer = IpcRefreshTokenRsp::eRefreshTokenCommError;
            break;
    }

    RefreshTokenCallback callback;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        callback = std::move(m_refreshTokenCallback);
        m_refreshTokenCallback = nullptr;
        // A refresh accepted while the answer was being stored is answered
        // with it (its clients asked after this exchange began, and get the
        // identity just stored), so its request event is spent. Under m_mutex,
        // so a later refreshToken sets the event afresh.
        m_idRequestEvent.Reset();
    }
    m_deferredRefreshAt.reset();
    reportStatus(answer);
    endRefresh();
    // The exchange's lines, its outcome above all, go to the disk now: a
    // crash of the machine shortly after must not take them.
    CVORNLogger::Sync();
    if (callback) {
        callback(answer);
    }
    return VORN_OK;
}

VORN_STATUS CVORNAgent::refreshToken(RefreshTokenCallback callback) {
    VORN_LOG_LIMITED_DEBUG("Refresh token callback received");
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_refreshTokenCallback) {
        return VORN_BUSY;
    }
    m_refreshTokenCallback = std::move(callback);
    m_idRequestEvent.Set();
    return VORN_OK;
}

int CVORNAgent::waitForNextEvent(VORNEvent* const* events) {
    // The rate limit as last taken from the store or the cloud: the loop
    // itself never reads the store. A limit that has just run out makes the
    // wait return at once, so the request due after it is sent.
    std::optional<std::chrono::steady_clock::time_point> rateLimitWake;
    const std::chrono::nanoseconds left = rateLimitLeft();
    if (left.count() > 0) {
        if (!m_rateLimit->announced) {
            m_rateLimit->announced = true;
            VORN_LOG_VERBOSE("Setting timeout for cloud rate limit to %d milliseconds",
                             static_cast<int32_t>(m_rateLimit->announcedMs));
        }
        rateLimitWake = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::min<std::chrono::nanoseconds>(left, kRateLimitRecheck));
    }
    if (m_deferredRefreshAt && (!rateLimitWake || *m_deferredRefreshAt <= *rateLimitWake)) {
        return WaitForEventsUntil(3, events, *m_deferredRefreshAt);
    }
    if (rateLimitWake) {
        return WaitForEventsUntil(3, events, *rateLimitWake);
    }
    return WaitForEvents(3, events, false, kInfinite);
}

VORN_STATUS CVORNAgent::MainThreadProc() {
    VORN_LOG_DEBUG("VORN agent main thread is starting");
    // A refresh asked for before this thread ran is answered by this
    // first exchange (its event then finds the exchange in flight).
    (void)sendIdentityServiceRequest();

    VORNEvent* const events[] = {&m_shutdownEvent, &m_idResponseEvent, &m_idRequestEvent};
    for (bool running = true; running;) {
        switch (waitForNextEvent(events)) {
            case 0:
                VORN_LOG_DEBUG("VORN agent received shutdown event");
                running = false;
                break;
            case 1:
                VORN_LOG_DEBUG("VORN agent received ID response event");
                (void)handleIdentityServiceResponse();
                // The collection, the request and the store's write are
                // behind us: what they freed goes back before the agent
                // idles.
                ReleaseFreedMemory();
                break;
            case 2:
                VORN_LOG_LIMITED_DEBUG("VORN agent received ID request event");
                (void)handleRefreshRequest();
                break;
            case kWaitTimeout:
                if (m_deferredRefreshAt &&
                    std::chrono::steady_clock::now() >= *m_deferredRefreshAt) {
                    VORN_LOG_DEBUG("VORN agent takes up the deferred refresh request");
                    m_deferredRefreshAt.reset();
                    (void)handleRefreshRequest();
                    break;
                }
                if (rateLimitLeft().count() > 0) {
                    // A wake-up to look at the boot clock again.
                    break;
                }
                VORN_LOG_DEBUG("VORN agent received Rate Limit Refresh Event after timeout expiry");
                if (!m_bExchangeInFlight) {
                    (void)sendIdentityServiceRequest();
                }
                break;
            default:
                VORN_LOG_ERROR("VORN agent received unknown event");
                break;
        }
    }
    // An exchange cut short by the shutdown leaves its refresh open.
    endRefresh();
    VORN_LOG_DEBUG("VORN agent main thread is exiting with status: %d", VORN_OK);
    return VORN_OK;
}

}  // namespace vorn
