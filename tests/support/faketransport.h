// Test doubles for the cloud side: an HTTPS transport that answers whatever
// the test scripts (and can hold an exchange open, standing for a slow
// network), and a receiver of the communicator's callbacks.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "agent/cloudcommunicator.h"
#include "agent/httptransport.h"
#include "agent/identityservice.h"

namespace vorn::test {

class FakeTransport : public IHttpTransport {
public:
    struct Answer {
        VORN_STATUS result = VORN_OK;
        uint32_t status = 200;
        std::string headers;
        std::string body;
        bool throwBadAlloc = false;
        // The transport's reason for the administrator, when result fails.
        std::string reason{};
    };
    // Shared with the test, which keeps it after the transport is handed over.
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        Answer answer;
        bool hold = false;  // exchanges wait (at most 10 s) while set
        std::optional<std::chrono::milliseconds> holdFor;
        std::vector<std::string> bodies;
        std::optional<HttpRequest> lastRequest;
        int entered = 0;
    };

    explicit FakeTransport(std::shared_ptr<Shared> shared) : m_shared(std::move(shared)) {}
    VORN_STATUS SendRequest(const HttpRequest& request, HttpResponse& response) override;
    // A held exchange ends at once, and every later one of this transport
    // fails with VORN_ERROR, as the real transport's do.
    void Abort() override;

private:
    std::shared_ptr<Shared> m_shared;
    bool m_bAborted = false;  // guarded by m_shared->mutex
};

// Collects the communicator's callbacks; Wait() blocks (bounded) until the
// count-th one has arrived.
class IdentityReceiver {
public:
    IdentityResponseCallback Callback();
    std::optional<IdentityServiceResponse> Wait(
        size_t count = 1, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    size_t Count();

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<IdentityServiceResponse> m_responses;
};

// The smallest request the wire format accepts: business data, serial, uuid
// and host name.
IdentityServiceRequest MinimalIdentityRequest(const std::string& businessId = "bid",
                                              const std::string& serial = "SN-1");

}  // namespace vorn::test
