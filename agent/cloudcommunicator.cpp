#include "agent/cloudcommunicator.h"

#include <chrono>
#include <cstdlib>
#include <exception>
#include <limits>
#include <stdexcept>
#include <system_error>

#include "agent/cloudformatconverter.h"
#include "agent/devicekeysigner.h"
#include "agent/httprequest.h"
#include "agent/httpresponse.h"
#include "agent/httptransportfactory.h"
#include "common/linux/memoryrelease.h"
#include "common/linux/processstop.h"
#include "common/textescape.h"
#include "common/vornlogger.h"

namespace vorn {

const char* const CloudCommunicator::kUserAgent = "Zanto Tessel Identity/1.1.34";

namespace {

// Nothing to do for a day is no reason to wait forever.
constexpr std::chrono::hours kWorkerWait(24);

// Calls the callback at most once; whatever it throws stays here, so one
// faulty receiver cannot end the worker.
void invokeResponseCallback(IdentityResponseCallback& callback,
                            const IdentityServiceResponse& response) {
    if (callback) {
        VORN_LOG_VERBOSE("invoking callback");
        try {
            callback(response);
        } catch (...) {
            VORN_LOG_ERROR("callback threw an exception; ignored");
        }
    }
    callback = nullptr;
}

// A Retry-After value as a signed decimal: leading white space and a sign
// allowed, reading stops at the first non-digit. Throws
// std::invalid_argument("invalid stoi argument") without digits and
// std::out_of_range beyond 32 bits.
int retryAfterSeconds(const std::string& value) {
    try {
        return std::stoi(value);
    } catch (const std::invalid_argument&) {
        throw std::invalid_argument("invalid stoi argument");
    } catch (const std::out_of_range&) {
        throw std::out_of_range("stoi argument out of range");
    }
}

}  // namespace

CloudCommunicator::CloudCommunicator() : CloudCommunicator(CreateHttpTransport()) {}

CloudCommunicator::CloudCommunicator(std::unique_ptr<IHttpTransport> transport)
    : m_ptrTransport(std::move(transport)) {
    try {
        m_worker = std::thread([this] {
            try {
                communicationThread();
            } catch (const std::exception& error) {
                EndProcessAfterThreadFailure("cloud communicator", error.what());
            } catch (...) {
                EndProcessAfterThreadFailure("cloud communicator", "unknown exception");
            }
        });
        m_bStarted = true;
    } catch (const std::system_error& error) {
        // GetIdentity reports VORN_FAILED from now on.
        VORN_LOG_ERROR("failed to start the worker thread: %s", error.what());
    }
    VORN_LOG_VERBOSE("starting");
}

CloudCommunicator::~CloudCommunicator() {
    Stop();
    VORN_LOG_VERBOSE("finished");
}

void CloudCommunicator::Stop() {
    stop();
    // A second caller waits here until the first has joined.
    std::lock_guard<std::mutex> lock(m_joinMutex);
    if (m_worker.joinable()) {
        m_worker.join();
    }
}

void CloudCommunicator::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop.store(true);
    }
    m_cvWakeUp.notify_one();
    // The exchange in progress ends now with a transport failure, and its
    // callback is still called, instead of the owner waiting for the network
    // or for the device that signs the request.
    m_cancelSigning.Cancel();
    m_ptrTransport->Abort();
}

VORN_STATUS CloudCommunicator::GetIdentity(const std::string& url,
                                           const IdentityServiceRequest& request,
                                           IdentityResponseCallback callback,
                                           RequestSigner signer) {
    if (!m_bStarted || m_bStop.load()) {
        VORN_LOG_ERROR("thread not running");
        return VORN_FAILED;
    }
    if (!callback) {
        VORN_LOG_ERROR("callback expected");
        return VORN_INVALID_ARGUMENT;
    }
    std::string body;
    const VORN_STATUS status = CloudFormatConverter::SerializeRequestData(request, body);
    if (status != VORN_OK) {
        VORN_LOG_ERROR("failed to serialise");
        return status;
    }
    if (body.empty()) {
        VORN_LOG_ERROR("empty serialised request");
        return VORN_INVALID_ARGUMENT;
    }
    IdentityResponseCallback replaced;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bStop.load()) {
            // Stopped meanwhile: the worker would never take it.
            replaced = std::move(callback);
            VORN_LOG_ERROR("thread not running");
            return VORN_FAILED;
        }
        m_strPendingUrl = url;
        m_strPendingBody = std::move(body);
        // The earlier callback, if any, is destroyed below, outside the lock.
        replaced = std::move(m_fnPendingCallback);
        m_fnPendingCallback = std::move(callback);
        m_fnPendingSigner = std::move(signer);
    }
    m_cvWakeUp.notify_one();
    VORN_LOG_VERBOSE("placing request");
    return VORN_OK;
}

void CloudCommunicator::communicationThread() {
    // The first request is being built on the agent's thread meanwhile (its
    // attribute collection); the transport's one-off set-up runs alongside.
    m_ptrTransport->Prepare();
    while (!m_bStop.load()) {
        {  // the exchange's objects end with this block
            std::string url;
            std::string body;
            IdentityResponseCallback callback;
            RequestSigner signer;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                while (!m_bStop.load() && m_strPendingBody.empty()) {
                    (void)m_cvWakeUp.wait_for(lock, kWorkerWait);
                }
                if (m_bStop.load()) {
                    VORN_LOG_VERBOSE("exiting");
                    return;
                }
                url = m_strPendingUrl;
                body = std::move(m_strPendingBody);
                m_strPendingBody.clear();
                callback = std::move(m_fnPendingCallback);
                m_fnPendingCallback = nullptr;
                signer = std::move(m_fnPendingSigner);
                m_fnPendingSigner = nullptr;
            }

            IdentityServiceResponse response;
            try {
                exchange(url, std::move(body), signer, response);
            } catch (const std::exception& error) {
                // A bad URL or Retry-After value ends up here, and so does anything
                // unexpected (an out-of-range number, exhausted memory): the
                // receiver still gets its one answer.
                const bool badUrl = dynamic_cast<const std::invalid_argument*>(&error) != nullptr;
                response = IdentityServiceResponse();
                response.m_status = VORN_INVALID_ARGUMENT;
                if (badUrl) {
                    response.m_strFailureReason = "the service URL is not usable";
                }
                VORN_LOG_ERROR("Error [%s]", EscapeUntrusted(error.what()).c_str());
            } catch (...) {
                response = IdentityServiceResponse();
                response.m_status = VORN_INVALID_ARGUMENT;
                VORN_LOG_ERROR("Error [%s]", "unknown exception");
            }
            invokeResponseCallback(callback, response);
        }
        // What the exchange used (TLS records, the answer, the decoders'
        // scratch) is free now, and the agent idles until the next one.
        ReleaseFreedMemory();
    }
}

void CloudCommunicator::exchange(const std::string& url, std::string body,
                                 const RequestSigner& signer, IdentityServiceResponse& response) {
    std::string signature;
    if (signer && !signer(body, signature, m_cancelSigning)) {
        // Never sent unbound: the cloud must not see this device without its key.
        response.m_status = VORN_ERROR;
        return;
    }
    VORN_LOG_DEBUG("Sending identity request to cloud service : %s", EscapeUntrusted(url).c_str());
    HttpRequest request(POST, url, body);
    request.SetUserAgent(kUserAgent);
    if (signer) {
        request.AddHeader(kDeviceSignatureHeader, signature);
    }

    HttpResponse httpResponse;
    const VORN_STATUS sent = m_ptrTransport->SendRequest(request, httpResponse);
    if (sent != VORN_OK) {
        response.m_status = sent;
        response.m_strFailureReason = httpResponse.GetFailureReason();
        return;
    }

    if (httpResponse.IsSuccess()) {
        response.m_status = VORN_OK;
    } else {
        response.m_status = VORN_CLOUD_ERROR_RESPONSE;
        const std::string retryAfter = httpResponse.GetHeader("Retry-After");
        if (!retryAfter.empty()) {
            response.m_nRetryAfterSeconds = retryAfterSeconds(retryAfter);
            VORN_LOG_VERBOSE("Retry After Seconds set to %lld seconds",
                             static_cast<long long>(response.m_nRetryAfterSeconds));
            response.m_status = VORN_CLOUD_RATE_LIMITED;
        }
    }

    if (CloudFormatConverter::DeserializeResponseData(httpResponse.GetBody(), response) !=
        VORN_OK) {
        VORN_LOG_WARNING("failed to deserialise");
    }
    if (response.m_status == VORN_CLOUD_ERROR_RESPONSE) {
        // The service's own message is not repeated: it is the service's
        // text, and the log file already has it.
        response.m_strFailureReason = EscapeUntrusted(request.GetHost(), 256) + " answered HTTP " +
                                      std::to_string(httpResponse.GetStatus());
        if (response.m_nErrorCode != 0) {
            response.m_strFailureReason += ", code " + std::to_string(response.m_nErrorCode);
        }
    }
}

}  // namespace vorn
