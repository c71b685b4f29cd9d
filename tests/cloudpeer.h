// A real vorn-cloud on loopback for the transport and communicator tests,
// with a test CA made once per test binary and trusted through SSL_CERT_FILE.
#pragma once

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "tests/support/testsupport.h"

namespace vorn::test {

// libcurl is set up once per process, before any transport runs, as main does.
inline void CurlGlobalInitOnce() {
    static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
    EXPECT_EQ(code, CURLE_OK);
}

// Certificates of vorn-cloud --generate-cert, made on first use. Trusting
// their CA is process-wide, as in a deployment that points SSL_CERT_FILE at it.
inline const TempDir& CloudCertificates() {
    static const std::unique_ptr<TempDir> dir = [] {
        auto made = std::make_unique<TempDir>();
        ChildProcess::Options options;
        options.args = {BinaryPath("vorn-cloud"), "--generate-cert", made->path()};
        ChildProcess generate(options);
        const auto status = generate.Wait(std::chrono::seconds(30));
        EXPECT_TRUE(status && ExitCode(*status) == 0) << generate.Stderr();
        setenv("SSL_CERT_FILE", made->file("ca.pem").c_str(), 1);
        unsetenv("SSL_CERT_DIR");
        CurlGlobalInitOnce();
        return made;
    }();
    return *dir;
}

// One vorn-cloud process; its fault knobs apply to every request, because
// the agent's URLs cannot carry a query string.
class CloudPeer {
public:
    struct Options {
        std::string defaultQuery;
        bool untrusted = false;  // serve the certificate no one trusts
        int ioTimeoutMs = 60000;
    };

    explicit CloudPeer(const Options& options) {
        const TempDir& certs = CloudCertificates();
        const std::string name = options.untrusted ? "untrusted" : "server";
        ChildProcess::Options child;
        child.args = {BinaryPath("vorn-cloud"),
                      "--cert",
                      certs.file(name + ".pem"),
                      "--key",
                      certs.file(name + ".key"),
                      "--port",
                      "0",
                      "--ready-file",
                      m_dir.file("port"),
                      "--io-timeout-ms",
                      std::to_string(options.ioTimeoutMs)};
        if (!options.defaultQuery.empty()) {
            child.args.push_back("--default-query");
            child.args.push_back(options.defaultQuery);
        }
        m_process = std::make_unique<ChildProcess>(child);
        const bool ready =
            WaitUntil([&] { return FileExists(m_dir.file("port")); }, std::chrono::seconds(20));
        EXPECT_TRUE(ready) << m_process->Stderr();
        if (ready) {
            m_port = std::atoi(ReadFile(m_dir.file("port")).c_str());
        }
    }

    int port() const { return m_port; }
    std::string url(const std::string& path = "/v1/identity") const {
        return "https://127.0.0.1:" + std::to_string(m_port) + path;
    }

private:
    TempDir m_dir;
    std::unique_ptr<ChildProcess> m_process;
    int m_port = 0;
};

// A loopback port on which nothing listens (bound, then released).
inline int ClosedLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

// The request document vorn-cloud accepts.
inline const char* ValidDocument() {
    return R"({"business":{"id":"bid","installer_key":"key"},)"
           R"("hardware":{"serial_number":"SN-1","uuid":"U-1"},"os":{"hostname":"h"},)"
           R"("misc":{"product":{}}})";
}

}  // namespace vorn::test
