// A real vorn-cloud on loopback for the transport and communicator tests,
// with a test CA made once per test binary and trusted through SSL_CERT_FILE.
#pragma once

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "tests/support/cloudservice.h"
#include "tests/support/testsupport.h"

namespace vorn::test {

// libcurl is set up once per process, before any transport runs, as main does.
inline void CurlGlobalInitOnce() {
    static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
    EXPECT_EQ(code, CURLE_OK);
}

// Trusts the test CA process-wide, as a deployment that points SSL_CERT_FILE
// at it would; libcurl is set up first, as main does.
inline void TrustCloudCertificates() {
    static const bool trusted = [] {
        setenv("SSL_CERT_FILE", CloudServiceCertificates().file("ca.pem").c_str(), 1);
        unsetenv("SSL_CERT_DIR");
        CurlGlobalInitOnce();
        return true;
    }();
    (void)trusted;
}

// A vorn-cloud whose certificate authority this process trusts. Its fault
// knobs apply to every request, because the agent's URLs cannot carry a query.
class CloudPeer : public CloudService {
public:
    using Options = CloudService::Options;
    explicit CloudPeer(const Options& options) : CloudService(Trusted(options)) {}

private:
    // The transport's own 5 s bounds are under test, so the service must not
    // give up on a connection first.
    static Options Trusted(Options options) {
        TrustCloudCertificates();
        if (options.ioTimeoutMs == 0) {
            options.ioTimeoutMs = 60000;
        }
        return options;
    }
};

// The request document vorn-cloud accepts.
inline const char* ValidDocument() {
    return R"({"business":{"id":"bid","installer_key":"key"},)"
           R"("hardware":{"serial_number":"SN-1","uuid":"U-1"},"os":{"hostname":"h"},)"
           R"("misc":{"product":{}}})";
}

}  // namespace vorn::test
