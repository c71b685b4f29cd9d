#include "agent/vornagent.h"

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
      m_ipcAgent(components.ipcPort),
      m_ptrStore(components.store),
      m_fnNow(components.clock ? std::move(components.clock) : SecondsClock(SystemSecondsNow)),
      m_fnStatusSink(components.statusSink
                         ? std::move(components.statusSink)
                         : std::function<void(const std::string&)>(NotifyServiceStatus)),
      m_fnMonotonicNow(components.monotonicClock ? std::move(components.monotonicClock)
                                                 : MonotonicClock(std::chrono::steady_clock::now)) {
    // NOLINTEND(clang-analyzer-cplusplus.NewDeleteLeaks)
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
    const int64_t retryAt = m_ptrStore->GetRetryTimestamp().count();
    if (outcome == IpcRefreshTokenRsp::eRefreshTokenRateLimited && m_fnNow() < retryAt) {
        m_fnStatusSink(RateLimitedStatus(retryAt));
    } else if (outcome == IpcRefreshTokenRsp::eRefreshTokenSuccess ||
               !m_ptrStore->GetVORN().empty()) {
        // A failed refresh leaves the stored identity in force.
        m_fnStatusSink("identity held");
    } else {
        m_fnStatusSink("no identity: " + RefreshOutcomeName(outcome));
    }
}

void CVORNAgent::answerPendingRefresh(IpcRefreshTokenRsp::eRefreshTokenResponse answer) {
    reportStatus(answer);
    RefreshTokenCallback callback;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        callback = std::move(m_refreshTokenCallback);
        m_refreshTokenCallback = nullptr;
    }
    if (callback) {
        callback(answer);
    }
}

VORN_STATUS CVORNAgent::sendIdentityServiceRequest() {
    const int64_t now = m_fnNow();
    if (now < m_ptrStore->GetRetryTimestamp().count()) {
        VORN_LOG_DEBUG("Cloud Rate Limit Hit.");
        answerPendingRefresh(IpcRefreshTokenRsp::eRefreshTokenRateLimited);
        return VORN_OK;
    }

    VORN_LOG_VERBOSE("Collecting attributes..");
    IdentityServiceRequest request;
    const CVORNConfig config;
    request.m_strBID = config.m_strBusinessId;
    request.m_strBToken = config.m_strInstallerKey;

    VORN_STATUS status = m_ptrAttributeCollector->GetAttributeList(request.m_lstAttributes);
    if (VORN_STATUS::VORN_OK != status) {
        VORN_LOG_ERROR("Failed in condition: (VORN_STATUS::VORN_OK != status)");
        // Nothing will reach the cloud, so no answer will come to release the
        // waiting clients: answer them now.
        answerPendingRefresh(IpcRefreshTokenRsp::eRefreshTokenCommError);
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
        answerPendingRefresh(IpcRefreshTokenRsp::eRefreshTokenCommError);
    } else {
        m_bExchangeInFlight = true;
    }
    return status;
}

VORN_STATUS CVORNAgent::handleRefreshRequest() {
    if (m_bExchangeInFlight) {
        // Its answer goes to the pending callback, so the clients share it.
        VORN_LOG_DEBUG("Refresh request joins the exchange in progress");
        return VORN_OK;
    }
    // A rate limit in force is answered at once, without waiting.
    if (m_lastExchangeEnd && m_fnNow() >= m_ptrStore->GetRetryTimestamp().count()) {
        const int interval = CVORNConfig().m_nMinRefreshIntervalSeconds;
        const auto due = *m_lastExchangeEnd + std::chrono::seconds(interval);
        const auto now = m_fnMonotonicNow();
        if (now < due) {
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - now);
            m_deferredRefreshAt = std::chrono::steady_clock::now() + wait;
            VORN_LOG_DEBUG(
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

    // The store is written without m_mutex: a write may wait for another
    // process's lock, and the IPC receiver must not wait with it.
    IpcRefreshTokenRsp::eRefreshTokenResponse answer = IpcRefreshTokenRsp::eRefreshTokenCommError;
    switch (response.m_status) {
        case VORN_CLOUD_RATE_LIMITED: {
            VORN_LOG_DEBUG("Rate limit response received from cloud");
            const int64_t retryAt = SaturatingAdd(m_fnNow(), response.m_nRetryAfterSeconds);
            if (m_ptrStore->SetRetryTimestamp(std::chrono::seconds(retryAt)) != VORN_OK) {
                VORN_LOG_ERROR("Failed to update Retry Timestamp");
            }
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
    if (callback) {
        callback(answer);
    }
    return VORN_OK;
}

VORN_STATUS CVORNAgent::refreshToken(RefreshTokenCallback callback) {
    VORN_LOG_DEBUG("Refresh token callback received");
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_refreshTokenCallback) {
        return VORN_BUSY;
    }
    m_refreshTokenCallback = std::move(callback);
    m_idRequestEvent.Set();
    return VORN_OK;
}

int CVORNAgent::waitForNextEvent(VORNEvent* const* events) {
    // The clock is read once: a deadline that has already passed makes the
    // wait return at once, so the request due after a rate limit is sent.
    std::optional<std::chrono::system_clock::time_point> rateLimitEnd;
    const int64_t retryTimestamp = m_ptrStore->GetRetryTimestamp().count();
    const int64_t now = m_fnNow();
    if (now < retryTimestamp) {
        const uint32_t timeout = RateLimitTimeoutMs(now, retryTimestamp);
        VORN_LOG_VERBOSE("Setting timeout for cloud rate limit to %d milliseconds",
                         static_cast<int32_t>(timeout));
        // A wall-clock instant, so a suspend or a clock change does not move it.
        rateLimitEnd = std::chrono::system_clock::now() + std::chrono::milliseconds(timeout);
    }
    if (m_deferredRefreshAt) {
        const auto deferredIn = *m_deferredRefreshAt - std::chrono::steady_clock::now();
        if (!rateLimitEnd || deferredIn <= *rateLimitEnd - std::chrono::system_clock::now()) {
            return WaitForEventsUntil(3, events, *m_deferredRefreshAt);
        }
    }
    if (rateLimitEnd) {
        return WaitForEventsUntil(3, events, *rateLimitEnd);
    }
    return WaitForEvents(3, events, false, kInfinite);
}

VORN_STATUS CVORNAgent::MainThreadProc() {
    VORN_LOG_DEBUG("VORN agent main thread is starting");
    VORN_STATUS status = m_ipcAgent.RegisterRefreshTokenHandler(
        [this](RefreshTokenCallback callback) { return refreshToken(std::move(callback)); });
    if (VORN_STATUS::VORN_OK != status) {
        VORN_LOG_ERROR("Failed in condition: (VORN_STATUS::VORN_OK != status)");
    } else {
        VORN_LOG_VERBOSE("Registered refresh token handler");
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
                    VORN_LOG_DEBUG("VORN agent received ID request event");
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
                    VORN_LOG_DEBUG(
                        "VORN agent received Rate Limit Refresh Event after timeout expiry");
                    if (!m_bExchangeInFlight) {
                        (void)sendIdentityServiceRequest();
                    }
                    break;
                default:
                    VORN_LOG_ERROR("VORN agent received unknown event");
                    break;
            }
        }
    }
    VORN_LOG_DEBUG("VORN agent main thread is exiting with status: %d", status);
    return status;
}

}  // namespace vorn
