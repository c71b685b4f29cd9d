// HTTPS transport on libcurl with the OpenSSL back end.
#pragma once

#include <cstddef>

#include "agent/httptransport.h"

namespace vorn {

// Every exchange uses its own handle and connection; nothing but the trust
// store (see the .cpp) outlives SendRequest. Fixed settings: HTTPS only,
// HTTP/1.1, TLS 1.2 exactly, no proxy (the environment's included), no
// redirects (a 3xx answer is returned as it came), the path sent as given,
// name resolution plus connection plus handshake bounded by 5 s, a transfer
// that moves no byte for 5 s abandoned, and a response body above
// kMaxResponseBody a failure. Certificates are checked against the system
// store, or SSL_CERT_FILE / SSL_CERT_DIR when set.
//
// REQUIRES: curl_global_init() has run before the first SendRequest (main
// does it before any thread starts).
class HttpTransport final : public IHttpTransport {
public:
    static constexpr size_t kMaxResponseBody = 1024 * 1024;
    static constexpr long kTimeoutMs = 5000;

    HttpTransport() = default;
    VORN_STATUS SendRequest(const HttpRequest& request, HttpResponse& response) override;
    void Prepare() override;
};

}  // namespace vorn
