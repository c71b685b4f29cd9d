// The HTTPS front of the reference cloud service: TLS 1.2+ with Boost.Beast
// over Boost.Asio SSL, one io_context run by one thread that this object owns.
//
//   POST <any path>[?knobs]  identity exchange (CIdentityService), shaped by
//                            the fault knobs of the query or the default query
//   GET  /stats              200 {"identity_requests":N}
//
// Every connection is bounded: the TLS handshake must end within the
// handshake time-out, reading one request and writing one answer each get the
// I/O time-out, an idle keep-alive connection is closed after the same time, a
// request body above kMaxBodyBytes gets 413, and at most kMaxConnections are
// served at once, at most kMaxConnectionsPerPeer of them for one peer address
// (more are closed on accept), so that one client cannot lock out the others.
//
// The fault knobs are off unless the options switch them on: a service that
// anyone can reach must not let a client make it stall or stream a gigabyte.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "common/vornstatus.h"

namespace vorn::cloud {

class CIdentityService;

struct HttpsServerOptions {
    std::string m_strBindAddress = "127.0.0.1";
    unsigned short m_nPort = 0;     // 0: any free port
    std::string m_strCertFile;      // PEM certificate chain
    std::string m_strKeyFile;       // PEM private key
    bool m_bFaultKnobs = false;     // honour query strings; off: a query gets 400
    std::string m_strDefaultQuery;  // knobs for POSTs without a query string
    std::chrono::milliseconds m_ioTimeout{5000};
    // A client that connects must finish its TLS handshake within this, even
    // when the I/O time-out is long, so idle connections free their slots.
    std::chrono::milliseconds m_handshakeTimeout{2000};
    // How long a "stall" fault keeps a connection open without answering:
    // longer than any client's receive time-out, but still bounded.
    std::chrono::milliseconds m_stallHold{60000};
};

class CHttpsServer {
public:
    static constexpr size_t kMaxBodyBytes = 1024 * 1024;
    static constexpr size_t kMaxHeaderBytes = 16 * 1024;
    static constexpr int kMaxConnections = 256;
    static constexpr int kMaxConnectionsPerPeer = 32;

    // 'service' must outlive the server.
    CHttpsServer(CIdentityService& service, HttpsServerOptions options);
    ~CHttpsServer();  // Stop()
    CHttpsServer(const CHttpsServer&) = delete;
    CHttpsServer& operator=(const CHttpsServer&) = delete;

    // Loads the certificate and key, binds, listens and starts the thread.
    // Returns VORN_OK, or VORN_ERROR with 'error' saying why (nothing started).
    // Call at most once.
    [[nodiscard]] VORN_STATUS Start(std::string& error);

    // The bound port (valid after a successful Start).
    unsigned short Port() const { return m_nPort; }

    // Stops serving: open connections are dropped, the thread is joined.
    // Idempotent; safe to call from any thread but the server's own.
    void Stop();

    // POSTs received so far (what GET /stats reports).
    uint64_t IdentityRequests() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_pImpl;
    std::thread m_thread;
    unsigned short m_nPort = 0;
};

}  // namespace vorn::cloud
