#include "tests/support/slowtlspeer.h"

#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "tests/support/cloudservice.h"

namespace vorn::test {

namespace {

using namespace std::chrono_literals;

// Bounds every blocking socket call of the peer, so a client that goes away
// never keeps the thread (and the test's destructor) waiting.
void SetSocketTimeouts(int fd, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

SlowTlsPeer::SlowTlsPeer(Mode mode, std::chrono::milliseconds interval)
    : m_mode(mode), m_interval(interval) {
    start();
}

SlowTlsPeer::SlowTlsPeer(std::string rawAnswer)
    : m_mode(Mode::Raw), m_interval(0), m_strRawAnswer(std::move(rawAnswer)) {
    start();
}

void SlowTlsPeer::start() {
    const TempDir& certs = CloudServiceCertificates();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr ||
        SSL_CTX_use_certificate_chain_file(ctx, certs.file("server.pem").c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, certs.file("server.key").c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(ctx);
        return;
    }
    m_ctx = ctx;
    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_listenFd < 0 || bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(m_listenFd, 8) != 0 ||
        getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return;
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { run(); });
}

SlowTlsPeer::~SlowTlsPeer() {
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_listenFd >= 0) {
        close(m_listenFd);
    }
    SSL_CTX_free(static_cast<SSL_CTX*>(m_ctx));
}

std::string SlowTlsPeer::url() const {
    return "https://127.0.0.1:" + std::to_string(m_port) + "/v1/identity";
}

bool SlowTlsPeer::pause(std::chrono::milliseconds duration) const {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (!m_stop.load()) {
        if (std::chrono::steady_clock::now() >= end) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

void SlowTlsPeer::run() {
    while (!m_stop.load()) {
        pollfd entry{m_listenFd, POLLIN, 0};
        if (poll(&entry, 1, 50) <= 0) {
            continue;
        }
        const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        ++m_accepted;
        serve(fd);
        close(fd);
    }
}

void SlowTlsPeer::serve(int fd) {
    if (m_mode == Mode::Silent) {
        // Until the client gives up (a read sees its end) or the test ends.
        SetSocketTimeouts(fd, 50ms);
        char buffer[512];
        while (!m_stop.load() && recv(fd, buffer, sizeof buffer, 0) != 0) {
        }
        return;
    }
    SetSocketTimeouts(fd, 2s);
    SSL* ssl = SSL_new(static_cast<SSL_CTX*>(m_ctx));
    if (ssl == nullptr) {
        return;
    }
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
        // The request: its head and a body the agent sends at once.
        std::string request;
        char buffer[4096];
        SetSocketTimeouts(fd, 300ms);
        for (int n; (n = SSL_read(ssl, buffer, sizeof buffer)) > 0;) {
            request.append(buffer, static_cast<size_t>(n));
        }
        ++m_requests;
        SetSocketTimeouts(fd, 2s);
        if (m_mode == Mode::Raw) {
            (void)SSL_write(ssl, m_strRawAnswer.data(), static_cast<int>(m_strRawAnswer.size()));
            (void)SSL_shutdown(ssl);
        } else if (m_mode == Mode::Trickle) {
            const std::string head =
                "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                "Content-Length: 1000000\r\n\r\n{";
            if (SSL_write(ssl, head.data(), static_cast<int>(head.size())) > 0) {
                ++m_bodyBytes;
                while (pause(m_interval) && SSL_write(ssl, " ", 1) == 1) {
                    ++m_bodyBytes;
                }
            }
        } else {
            // Until the client closes or the test ends.
            SetSocketTimeouts(fd, 50ms);
            while (!m_stop.load()) {
                const int n = SSL_read(ssl, buffer, sizeof buffer);
                if (n > 0) {
                    continue;
                }
                const int error = SSL_get_error(ssl, n);
                const bool timedOut =
                    error == SSL_ERROR_WANT_READ ||
                    (error == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK));
                if (!timedOut) {
                    break;  // the client closed or failed
                }
            }
        }
    }
    SSL_free(ssl);
}

}  // namespace vorn::test
