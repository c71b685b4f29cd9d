#include "tests/support/faketransport.h"

#include <new>

namespace vorn::test {

VORN_STATUS FakeTransport::SendRequest(const HttpRequest& request, HttpResponse& response) {
    std::unique_lock<std::mutex> lock(m_shared->mutex);
    m_shared->bodies.push_back(request.GetBody());
    m_shared->lastRequest.emplace(request);
    ++m_shared->entered;
    m_shared->changed.notify_all();
    if (m_shared->holdFor) {
        m_shared->changed.wait_for(lock, *m_shared->holdFor, [&] { return m_bAborted; });
    }
    // Bounded, so a broken test cannot hang the worker for ever.
    m_shared->changed.wait_for(lock, std::chrono::seconds(10),
                               [&] { return !m_shared->hold || m_bAborted; });
    if (m_bAborted) {
        return VORN_ERROR;
    }
    const Answer answer = m_shared->answer;
    if (answer.throwBadAlloc) {
        throw std::bad_alloc();
    }
    response.SetStatus(answer.status);
    response.ParseHeaders(answer.headers);
    response.SetBody(answer.body);
    response.SetFailureReason(answer.reason);
    return answer.result;
}

void FakeTransport::Abort() {
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_bAborted = true;
    }
    m_shared->changed.notify_all();
}

IdentityResponseCallback IdentityReceiver::Callback() {
    return [this](const IdentityServiceResponse& response) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_responses.push_back(response);
        m_changed.notify_all();
    };
}

std::optional<IdentityServiceResponse> IdentityReceiver::Wait(size_t count,
                                                              std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_changed.wait_for(lock, timeout, [&] { return m_responses.size() >= count; })) {
        return std::nullopt;
    }
    return m_responses[count - 1];
}

size_t IdentityReceiver::Count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_responses.size();
}

IdentityServiceRequest MinimalIdentityRequest(const std::string& businessId,
                                              const std::string& serial) {
    IdentityServiceRequest request;
    request.m_strBID = businessId;
    request.m_strBToken = "key";
    request.m_lstAttributes = {CAttribute("serial_number", eAttributeTypeString, serial),
                               CAttribute("uuid", eAttributeTypeString, "U-1"),
                               CAttribute("hostname", eAttributeTypeString, "h")};
    return request;
}

}  // namespace vorn::test
