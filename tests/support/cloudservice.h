// A real vorn-cloud on a loopback port for end-to-end tests: test
// certificates made once per test binary, the service started with fault
// knobs for every POST and stopped again, and its request counter read.
#pragma once

#include <memory>
#include <string>

#include "tests/support/testsupport.h"

namespace vorn::test {

// The directory of `vorn-cloud --generate-cert`, made on first use: ca.pem,
// server.pem/.key, untrusted.pem/.key. Empty path when generation failed.
const TempDir& CloudServiceCertificates();

class CloudService {
public:
    struct Options {
        std::string defaultQuery;  // fault knobs every POST gets (may be empty)
        bool untrusted = false;    // serve the certificate no one trusts
        int ioTimeoutMs = 0;       // 0: the service's default
    };

    // Starts vorn-cloud on a free port and waits (bounded) until it listens.
    explicit CloudService(const Options& options);
    explicit CloudService(const std::string& defaultQuery = "")
        : CloudService(Options{defaultQuery, false, 0}) {}
    // Stops the service (SIGTERM, bounded wait, then kill).
    ~CloudService();
    CloudService(const CloudService&) = delete;
    CloudService& operator=(const CloudService&) = delete;

    // 0 when the service did not come up.
    int port() const { return m_port; }
    std::string url(const std::string& path = "/v1/identity") const;
    // POSTs received so far (GET /stats), or -1 when it cannot be read.
    int IdentityRequests() const;
    // The service's own log (verbose).
    std::string Log() const;

private:
    TempDir m_dir;
    std::unique_ptr<ChildProcess> m_process;
    int m_port = 0;
};

// A loopback TCP port on which nothing listens (bound, then released).
int ClosedLoopbackTcpPort();

}  // namespace vorn::test
