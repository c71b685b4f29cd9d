#include "agent/vornagent.h"

#include <chrono>
#include <limits>
#include <stdexcept>
#include <string>

#include "agent/vornstorereaderwriter.h"
#include "common/vornlogger.h"
#include "common/vornpath.h"

namespace vorn {

int64_t SystemSecondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

uint32_t RateLimitTimeoutMs(int64_t now, int64_t retryTimestamp) {
    if (now >= retryTimestamp) {
        return kInfinite;
    }
    const int64_t remaining = retryTimestamp - now;
    constexpr int64_t kLargestFinite = static_cast<int64_t>(kInfinite) - 1;
    if (remaining > kLargestFinite / 1000) {
        return static_cast<uint32_t>(kLargestFinite);
    }
    return static_cast<uint32_t>(remaining * 1000);
}

CVORNAgent::CVORNAgent() : CVORNAgent(AgentComponents{}) {}

CVORNAgent::CVORNAgent(AgentComponents components)
    : m_ptrStore(components.store),
      m_fnNow(components.clock ? std::move(components.clock) : SecondsClock(SystemSecondsNow)) {
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

CVORNAgent::~CVORNAgent() = default;

void CVORNAgent::ShutDown() {
    VORN_LOG_DEBUG("ShutDown is invoked");
    m_shutdownEvent.Set();
}

VORN_STATUS CVORNAgent::sendIdentityServiceRequest() {
    return VORN_OK;
}

VORN_STATUS CVORNAgent::handleIdentityServiceResponse() {
    return VORN_OK;
}

VORN_STATUS CVORNAgent::MainThreadProc() {
    VORN_LOG_DEBUG("VORN agent main thread is starting");
    VORN_STATUS status = VORN_OK;

    VORN_LOG_VERBOSE("Registered refresh token handler");
    (void)sendIdentityServiceRequest();

    VORNEvent* const events[] = {&m_shutdownEvent, &m_idResponseEvent, &m_idRequestEvent};
    for (bool running = true; running;) {
        uint32_t timeout = kInfinite;
        const int64_t retryTimestamp = m_ptrStore->GetRetryTimestamp().count();
        if (m_fnNow() < retryTimestamp) {
            timeout = RateLimitTimeoutMs(m_fnNow(), retryTimestamp);
            if (timeout != kInfinite) {
                VORN_LOG_VERBOSE("Setting timeout for cloud rate limit to %d milliseconds",
                                 static_cast<int32_t>(timeout));
            }
        }
        switch (WaitForEvents(3, events, false, timeout)) {
            case 0:
                VORN_LOG_DEBUG("VORN agent received shutdown event");
                running = false;
                break;
            case 1:
                VORN_LOG_DEBUG("VORN agent received ID response event");
                (void)handleIdentityServiceResponse();
                break;
            case 2:
                VORN_LOG_DEBUG("VORN agent received ID request event");
                (void)sendIdentityServiceRequest();
                break;
            case kWaitTimeout:
                VORN_LOG_DEBUG("VORN agent received Rate Limit Refresh Event after timeout expiry");
                (void)sendIdentityServiceRequest();
                break;
            default:
                VORN_LOG_ERROR("VORN agent received unknown event");
                break;
        }
    }
    VORN_LOG_DEBUG("VORN agent main thread is exiting with status: %d", status);
    return status;
}

}  // namespace vorn
