// Identity exchanges with the cloud identity service, on a worker thread of
// their own so the agent's main thread never waits on the network.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "agent/httptransport.h"
#include "agent/identityservice.h"
#include "common/linux/waitcanceller.h"
#include "common/vornstatus.h"

namespace vorn {

using IdentityResponseCallback = std::function<void(const IdentityServiceResponse&)>;

// Runs on the worker just before a request is sent: may extend the body and
// returns the value of the signature header. False: the request is not sent
// and ends as a transport failure (VORN_ERROR); the signer logs why. Every
// wait of the signer polls 'cancel', which Stop throws, so that stopping
// never waits for the signer's device.
using RequestSigner = std::function<bool(std::string& body, std::string& signatureHeader,
                                         const WaitCanceller& cancel)>;

// Holds at most one pending request: a request the worker has not taken yet
// is replaced by a newer one, and its callback is destroyed without being
// called. Every request the worker takes ends in exactly one callback call,
// on the worker thread, with one of these statuses: VORN_OK (2xx; identity
// fields empty when the body was unusable), VORN_CLOUD_ERROR_RESPONSE
// (non-2xx without Retry-After), VORN_CLOUD_RATE_LIMITED (non-2xx with a
// numeric Retry-After, in m_nRetryAfterSeconds), VORN_INVALID_ARGUMENT (the
// URL or the Retry-After value unusable, or any other failure while handling
// the answer), VORN_SECURE_CHANNEL_FAILED or VORN_ERROR (transport).
class CloudCommunicator {
public:
    // Starts the worker with the platform's HTTPS transport.
    CloudCommunicator();
    // Starts the worker with the given transport (tests pass a fake).
    explicit CloudCommunicator(std::unique_ptr<IHttpTransport> transport);
    // Stops and joins the worker. An exchange in progress is aborted, its
    // signing as well (it ends as a transport failure, VORN_ERROR, and
    // nothing is sent) and its callback is called; a request still pending
    // is dropped uncalled.
    ~CloudCommunicator();

    CloudCommunicator(const CloudCommunicator&) = delete;
    CloudCommunicator& operator=(const CloudCommunicator&) = delete;

    // Serialises 'request' on the calling thread and leaves it for the worker.
    // Returns VORN_OK when placed; VORN_FAILED when the worker is not running,
    // VORN_INVALID_ARGUMENT without a callback or for an empty document,
    // VORN_ERROR when the request cannot be serialised. On any failure the
    // callback is destroyed without being called.
    // With a 'signer', the request is bound to the device key (see
    // RequestSigner); without one, it is sent exactly as serialised.
    VORN_STATUS GetIdentity(const std::string& url, const IdentityServiceRequest& request,
                            IdentityResponseCallback callback, RequestSigner signer = {});

    // Stops and joins the worker as the destructor does, for an owner whose
    // callback target goes away before the communicator itself. Safe to call
    // more than once, from several threads at once and concurrently with
    // GetIdentity, which refuses requests (VORN_FAILED) once it has begun.
    // Not from the worker thread.
    void Stop();

    // "Zanto Tessel Identity/1.1.34"
    static const char* const kUserAgent;

private:
    void communicationThread();
    void exchange(const std::string& url, std::string body, const RequestSigner& signer,
                  IdentityServiceResponse& response);
    void stop();

    std::condition_variable m_cvWakeUp;
    std::mutex m_mutex;
    std::atomic<bool> m_bStop{false};
    bool m_bStarted = false;                         // set by the constructor only
    std::mutex m_joinMutex;                          // serialises joining the worker
    std::string m_strPendingUrl;                     // guarded by m_mutex
    std::string m_strPendingBody;                    // guarded by m_mutex; empty: none pending
    IdentityResponseCallback m_fnPendingCallback;    // guarded by m_mutex
    RequestSigner m_fnPendingSigner;                 // guarded by m_mutex
    std::unique_ptr<IHttpTransport> m_ptrTransport;  // used by the worker only
    WaitCanceller m_cancelSigning;                   // thrown by stop()
    std::thread m_worker;
};

}  // namespace vorn
