// HTTPS transport on libcurl with the OpenSSL back end.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>

#include "agent/httptransport.h"

namespace vorn {

// Every exchange uses its own handle and connection; nothing but the trust
// store (see the .cpp) outlives SendRequest. Fixed settings: HTTPS only,
// HTTP/1.1, TLS 1.2 exactly, no proxy (the environment's included), no
// redirects (a 3xx answer is returned as it came), the path sent as given,
// name resolution plus connection plus handshake bounded by 5 s, a transfer
// that moves no byte for 5 s abandoned, the whole exchange bounded by
// kOverallTimeoutMs however slowly the peer trickles, and a response body
// above kMaxResponseBody a failure. Abort() ends an exchange within a few
// milliseconds, whatever it waits for: a resolver thread still running is
// left behind rather than waited for. Certificates are checked against the system
// store, or SSL_CERT_FILE / SSL_CERT_DIR when set.
//
// REQUIRES: curl_global_init() has run before the first SendRequest (main
// does it before any thread starts).
class HttpTransport final : public IHttpTransport {
public:
    static constexpr size_t kMaxResponseBody = 1024 * 1024;
    static constexpr long kTimeoutMs = 5000;
    static constexpr long kOverallTimeoutMs = 60000;

    // 'overallTimeoutMs' replaces kOverallTimeoutMs (tests shorten it).
    explicit HttpTransport(long overallTimeoutMs = kOverallTimeoutMs);
    ~HttpTransport() override;
    HttpTransport(const HttpTransport&) = delete;
    HttpTransport& operator=(const HttpTransport&) = delete;

    VORN_STATUS SendRequest(const HttpRequest& request, HttpResponse& response) override;
    void Prepare() override;
    void Abort() override;

private:
    const long m_nOverallTimeoutMs;
    std::atomic<bool> m_bAborted{false};
    std::mutex m_mutex;
    // The multi handle of the exchange in progress, woken by Abort; guarded by
    // m_mutex (curl_multi_wakeup is the one call safe from another thread).
    void* m_pActiveMulti = nullptr;
};

}  // namespace vorn
