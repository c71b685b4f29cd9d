// A TLS peer on a loopback port that answers too slowly: it stands for a
// cloud behind a bad network. It serves one connection at a time, and its
// thread is stopped and joined by the destructor.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>

namespace vorn::test {

class SlowTlsPeer {
public:
    enum class Mode {
        // Accepts the TCP connection and never says a word (the handshake hangs).
        Silent,
        // Completes the handshake, reads the request and never answers.
        SilentAfterRequest,
        // Answers 200 with a large Content-Length, then one body byte per interval.
        Trickle,
        // Answers exactly the bytes given to the constructor, then closes.
        Raw,
    };

    // Uses the test certificate of tests/support/cloudservice.h.
    explicit SlowTlsPeer(Mode mode,
                         std::chrono::milliseconds interval = std::chrono::milliseconds(300));
    // Mode::Raw: every request is answered with 'rawAnswer' (status line,
    // header block and body as they should arrive on the wire).
    explicit SlowTlsPeer(std::string rawAnswer);
    ~SlowTlsPeer();
    SlowTlsPeer(const SlowTlsPeer&) = delete;
    SlowTlsPeer& operator=(const SlowTlsPeer&) = delete;

    // 0 when the peer could not be set up.
    int port() const { return m_port; }
    std::string url() const;
    int Accepted() const { return m_accepted.load(); }
    int RequestsRead() const { return m_requests.load(); }
    long BodyBytesSent() const { return m_bodyBytes.load(); }

private:
    void run();
    void serve(int fd);
    // Sleeps up to 'duration', returning early (false) when stopping.
    bool pause(std::chrono::milliseconds duration) const;

    void start();

    const Mode m_mode;
    const std::chrono::milliseconds m_interval;
    const std::string m_strRawAnswer;
    int m_listenFd = -1;
    int m_port = 0;
    void* m_ctx = nullptr;  // SSL_CTX
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::atomic<int> m_requests{0};
    std::atomic<long> m_bodyBytes{0};
    std::thread m_thread;
};

}  // namespace vorn::test
