#include "cloud/httpsserver.h"

// Asio's fences are sound but invisible to GCC's thread sanitizer, which
// warns about every one of them; the warning says nothing about this code.
#if defined(__SANITIZE_THREAD__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include <openssl/ssl.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <map>
#include <optional>

#include "cloud/faultknobs.h"
#include "cloud/identityservice.h"
#include "common/vornlogger.h"

namespace vorn::cloud {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;

struct CHttpsServer::Impl {
    Impl(CIdentityService& service, HttpsServerOptions options)
        : m_service(service), m_options(std::move(options)) {}

    void Accept();

    CIdentityService& m_service;
    const HttpsServerOptions m_options;
    std::atomic<uint64_t> m_nIdentityRequests{0};
    std::atomic<int> m_nConnections{0};
    // Open connections per peer address; touched by the server thread only.
    std::map<net::ip::address, int> m_peerConnections;
    // Declared before the io_context: sessions still queued in it when it is
    // destroyed refer to the members above and to the TLS context.
    ssl::context m_ssl{ssl::context::tls_server};
    net::io_context m_io{1};
    tcp::acceptor m_acceptor{m_io};
    net::steady_timer m_acceptRetry{m_io};
};

namespace {

using Response = http::response<http::string_body>;

constexpr uint64_t kHugeBodyBytes = 1024ULL * 1024 * 1024;
constexpr size_t kOversizeBodyBytes = 2 * 1024 * 1024;
constexpr size_t kHugeHeaderBytes = 64 * 1024;

bool IsHttpParseError(const beast::error_code& ec) {
    return ec.category() == http::make_error_code(http::error::bad_method).category();
}

// One TLS connection: handshake, then request/answer turns until the peer
// closes, keep-alive ends, a time-out expires or a fault ends it. All of it
// runs on the server's single thread; the session lives as long as a pending
// operation holds a reference to it.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket&& socket, const net::ip::address& peer, CHttpsServer::Impl& server)
        : m_stream(std::move(socket), server.m_ssl),
          m_server(server),
          m_timer(m_stream.get_executor()),
          m_peer(peer) {
        ++m_server.m_nConnections;
        ++m_server.m_peerConnections[m_peer];
    }
    ~Session() {
        --m_server.m_nConnections;
        const auto found = m_server.m_peerConnections.find(m_peer);
        if (found != m_server.m_peerConnections.end() && --found->second <= 0) {
            m_server.m_peerConnections.erase(found);
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void Run() {
        beast::get_lowest_layer(m_stream).expires_after(
            std::min(m_server.m_options.m_handshakeTimeout, m_server.m_options.m_ioTimeout));
        m_stream.async_handshake(
            ssl::stream_base::server, [self = shared_from_this()](beast::error_code ec) {
                if (ec) {
                    VORN_LOG_VERBOSE("handshake failed: %s", ec.message().c_str());
                    self->close();
                    return;
                }
                self->read();
            });
    }

private:
    void armTimeout() {
        beast::get_lowest_layer(m_stream).expires_after(m_server.m_options.m_ioTimeout);
    }

    void read() {
        m_parser.emplace();
        m_parser->header_limit(CHttpsServer::kMaxHeaderBytes);
        m_parser->body_limit(CHttpsServer::kMaxBodyBytes);
        armTimeout();
        http::async_read(
            m_stream, m_buffer, *m_parser,
            [self = shared_from_this()](beast::error_code ec, size_t) { self->onRead(ec); });
    }

    void onRead(beast::error_code ec) {
        if (ec == http::error::end_of_stream) {
            shutdown();
            return;
        }
        m_bKeepAlive = false;
        if (ec == http::error::body_limit) {
            if (m_parser->get().method() == http::verb::post) {
                ++m_server.m_nIdentityRequests;
            }
            sendError(http::status::payload_too_large, "request body above 1 MiB");
            return;
        }
        if (ec == http::error::header_limit) {
            sendError(http::status::request_header_fields_too_large, "request headers too large");
            return;
        }
        if (ec && IsHttpParseError(ec) && ec != http::error::partial_message) {
            sendError(http::status::bad_request, "malformed HTTP request");
            return;
        }
        if (ec) {
            // Time-out, reset or TLS failure: nobody is left to answer.
            VORN_LOG_VERBOSE("read failed: %s", ec.message().c_str());
            close();
            return;
        }
        handle(m_parser->release());
    }

    void handle(http::request<http::string_body> request) {
        m_bKeepAlive = request.keep_alive();
        const std::string target(request.target());
        const size_t question = target.find('?');
        const std::string path = target.substr(0, question);
        const std::string query = question == std::string::npos ? "" : target.substr(question + 1);

        if (request.method() == http::verb::get && path == "/stats") {
            auto response = newResponse(http::status::ok);
            response->body() =
                "{\"identity_requests\":" + std::to_string(m_server.m_nIdentityRequests.load()) +
                "}";
            write(response);
            return;
        }
        if (request.method() != http::verb::post) {
            if (request.method() == http::verb::get) {
                sendError(http::status::not_found, "no such resource");
            } else {
                auto response = errorResponse(http::status::method_not_allowed,
                                              "only POST and GET /stats are served");
                response->set(http::field::allow, "GET, POST");
                write(response);
            }
            return;
        }

        const uint64_t sequence = ++m_server.m_nIdentityRequests;
        if (!query.empty() && !m_server.m_options.m_bFaultKnobs) {
            sendError(http::status::bad_request,
                      "query strings are refused: fault knobs are off (start with --fault-knobs)");
            return;
        }
        const std::string& knobText = query.empty() ? m_server.m_options.m_strDefaultQuery : query;
        std::string error;
        if (!ParseFaultKnobs(knobText, m_knobs, error)) {
            sendError(http::status::bad_request, error);
            return;
        }
        if (m_knobs.m_bOnce && sequence != 1) {
            m_knobs = FaultKnobs{};
        }
        m_strRequestBody = std::move(request.body());
        const auto signature = request.find("X-Vorn-Device-Signature");
        m_strDeviceSignature = signature == request.end() ? std::string()
                                                          : std::string(signature->value().data(),
                                                                        signature->value().size());
        VORN_LOG_DEBUG("POST %s (#%llu)", target.c_str(),
                       static_cast<unsigned long long>(sequence));
        if (m_knobs.m_nDelayMs == 0) {
            answer();
            return;
        }
        m_timer.expires_after(std::chrono::milliseconds(m_knobs.m_nDelayMs));
        m_timer.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (ec) {
                self->close();
                return;
            }
            self->answer();
        });
    }

    void answer() {
        switch (m_knobs.m_eFault) {
            case FaultKnobs::Fault::Stall:
                // Hold the connection without a byte of answer; the client's own
                // time-out is what is under test.
                m_timer.expires_after(m_server.m_options.m_stallHold);
                m_timer.async_wait(
                    [self = shared_from_this()](beast::error_code) { self->close(); });
                return;
            case FaultKnobs::Fault::Garbage:
                writeRaw("\x01\x02 this is not HTTP \xff\xfe\r\n\r\n", &Session::close);
                return;
            case FaultKnobs::Fault::Reset:
                // Headers promise more than is ever sent, then the socket is reset.
                writeRaw(
                    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                    "Content-Length: 4096\r\n\r\n{\"vorn\":\"",
                    &Session::reset);
                return;
            case FaultKnobs::Fault::HugeBody:
                m_nBodyLeft = kHugeBodyBytes;
                writeRaw("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                             std::to_string(kHugeBodyBytes) + "\r\n\r\n",
                         &Session::streamBody);
                return;
            case FaultKnobs::Fault::HugeHeaders:
            case FaultKnobs::Fault::None:
                break;
        }

        std::shared_ptr<Response> response;
        if (!m_knobs.m_strRedirect.empty()) {
            response = errorResponse(http::status::found, "moved");
            response->set(http::field::location, m_knobs.m_strRedirect);
        } else if (m_knobs.m_nStatus && (*m_knobs.m_nStatus < 200 || *m_knobs.m_nStatus > 299)) {
            const auto status = static_cast<http::status>(*m_knobs.m_nStatus);
            const auto reason = http::obsolete_reason(status);
            response = errorResponse(
                status, reason.empty() ? "error" : std::string(reason.data(), reason.size()));
        } else {
            const IdentityAnswer result =
                m_server.m_service.HandleRequest(m_strRequestBody, m_strDeviceSignature);
            response = newResponse(static_cast<http::status>(
                m_knobs.m_nStatus ? *m_knobs.m_nStatus : result.m_nHttpStatus));
            response->body() = result.m_strBody;
        }

        switch (m_knobs.m_eBody) {
            case FaultKnobs::Body::Normal:
                break;
            case FaultKnobs::Body::Empty:
                response->body().clear();
                break;
            case FaultKnobs::Body::NotJson:
                response->set(http::field::content_type, "text/html");
                response->body() = "<html><body>not json</body></html>";
                break;
            case FaultKnobs::Body::NoMembers:
                response->body() = "{\"result\":\"ok\"}";
                break;
            case FaultKnobs::Body::Oversize: {
                std::string body = "{\"vorn\":\"x\",\"vorn_token\":\"y\",\"padding\":\"";
                body.append(kOversizeBodyBytes - body.size() - 2, 'a');
                body += "\"}";
                response->body() = std::move(body);
                break;
            }
        }
        if (m_knobs.m_strRetryAfter) {
            response->set(http::field::retry_after, *m_knobs.m_strRetryAfter);
        }
        if (m_knobs.m_eFault == FaultKnobs::Fault::HugeHeaders) {
            const std::string filler(1000, 'x');
            for (size_t i = 0; i * filler.size() < kHugeHeaderBytes; ++i) {
                response->insert("X-Filler-" + std::to_string(i), filler);
            }
        }
        const auto status = response->result();
        if (status == http::status::no_content || status == http::status::not_modified) {
            response->body().clear();
        }
        write(response);
    }

    std::shared_ptr<Response> newResponse(http::status status) {
        auto response = std::make_shared<Response>(status, 11);
        response->set(http::field::server, "vorn-cloud");
        response->set(http::field::content_type, "application/json");
        return response;
    }

    std::shared_ptr<Response> errorResponse(http::status status, const std::string& message) {
        auto response = newResponse(status);
        response->body() = CIdentityService::ErrorDocument(static_cast<int>(status), message);
        return response;
    }

    void sendError(http::status status, const std::string& message) {
        m_bKeepAlive = false;
        write(errorResponse(status, message));
    }

    void write(const std::shared_ptr<Response>& response) {
        response->keep_alive(m_bKeepAlive);
        response->prepare_payload();
        const auto status = response->result();
        if (status == http::status::no_content || status == http::status::not_modified) {
            // These answers carry neither a body nor a length.
            response->erase(http::field::content_length);
        }
        m_response = response;
        armTimeout();
        http::async_write(m_stream, *m_response,
                          [self = shared_from_this()](beast::error_code ec, size_t) {
                              self->m_response.reset();
                              if (ec) {
                                  self->close();
                              } else if (self->m_bKeepAlive) {
                                  self->read();
                              } else {
                                  self->shutdown();
                              }
                          });
    }

    void writeRaw(std::string bytes, void (Session::*next)()) {
        m_strRaw = std::move(bytes);
        armTimeout();
        net::async_write(m_stream, net::buffer(m_strRaw),
                         [self = shared_from_this(), next](beast::error_code ec, size_t) {
                             if (ec) {
                                 self->close();
                                 return;
                             }
                             ((*self).*next)();
                         });
    }

    void streamBody() {
        if (m_nBodyLeft == 0) {
            shutdown();
            return;
        }
        if (m_strChunk.empty()) {
            m_strChunk.assign(64 * 1024, 'a');
        }
        const size_t size = static_cast<size_t>(std::min<uint64_t>(m_nBodyLeft, m_strChunk.size()));
        m_nBodyLeft -= size;
        armTimeout();
        net::async_write(m_stream, net::buffer(m_strChunk.data(), size),
                         [self = shared_from_this()](beast::error_code ec, size_t) {
                             if (ec) {
                                 self->close();
                                 return;
                             }
                             self->streamBody();
                         });
    }

    void shutdown() {
        armTimeout();
        m_stream.async_shutdown([self = shared_from_this()](beast::error_code) { self->close(); });
    }

    void reset() {
        beast::error_code ignored;
        auto& socket = beast::get_lowest_layer(m_stream).socket();
        socket.set_option(tcp::socket::linger(true, 0), ignored);
        close();
    }

    void close() {
        m_timer.cancel();
        beast::get_lowest_layer(m_stream).close();
    }

    beast::ssl_stream<beast::tcp_stream> m_stream;
    CHttpsServer::Impl& m_server;
    net::steady_timer m_timer;  // delays and stalls
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    std::shared_ptr<Response> m_response;  // the answer being written
    std::string m_strRequestBody;
    std::string m_strDeviceSignature;  // the request's signature header, if any
    std::string m_strRaw;              // bytes of a faulty answer being written
    std::string m_strChunk;            // one chunk of a huge body
    uint64_t m_nBodyLeft = 0;
    FaultKnobs m_knobs;
    bool m_bKeepAlive = false;
    const net::ip::address m_peer;
};

}  // namespace

void CHttpsServer::Impl::Accept() {
    m_acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted) {
            return;
        }
        if (ec) {
            // Out of descriptors, most likely: try again shortly instead of spinning.
            VORN_LOG_WARNING("accept failed: %s", ec.message().c_str());
            m_acceptRetry.expires_after(std::chrono::milliseconds(100));
            m_acceptRetry.async_wait([this](beast::error_code waitError) {
                if (!waitError) {
                    Accept();
                }
            });
            return;
        }
        beast::error_code peerError;
        const auto peer = socket.remote_endpoint(peerError).address();
        const auto perPeer = m_peerConnections.find(peer);
        if (peerError) {
            beast::error_code ignored;
            socket.close(ignored);  // gone before it could be served
        } else if (m_nConnections.load() >= kMaxConnections) {
            VORN_LOG_WARNING("too many connections; one refused");
            beast::error_code ignored;
            socket.close(ignored);
        } else if (perPeer != m_peerConnections.end() &&
                   perPeer->second >= kMaxConnectionsPerPeer) {
            VORN_LOG_WARNING("too many connections from %s; one refused", peer.to_string().c_str());
            beast::error_code ignored;
            socket.close(ignored);
        } else {
            // Without this a reply could wait for the peer's delayed
            // acknowledgement of the session tickets sent after the handshake:
            // 40 ms in about a third of the exchanges with curl.
            beast::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            std::make_shared<Session>(std::move(socket), peer, *this)->Run();
        }
        Accept();
    });
}

CHttpsServer::CHttpsServer(CIdentityService& service, HttpsServerOptions options)
    : m_pImpl(std::make_unique<Impl>(service, std::move(options))) {}

CHttpsServer::~CHttpsServer() {
    Stop();
}

VORN_STATUS CHttpsServer::Start(std::string& error) {
    Impl& impl = *m_pImpl;
    beast::error_code ec;
    impl.m_ssl.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                           ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                           ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
    SSL_CTX_set_min_proto_version(impl.m_ssl.native_handle(), TLS1_2_VERSION);
    impl.m_ssl.use_certificate_chain_file(impl.m_options.m_strCertFile, ec);
    if (ec) {
        error = "cannot load certificate " + impl.m_options.m_strCertFile + ": " + ec.message();
        return VORN_STATUS::VORN_ERROR;
    }
    impl.m_ssl.use_private_key_file(impl.m_options.m_strKeyFile, ssl::context::pem, ec);
    if (ec || SSL_CTX_check_private_key(impl.m_ssl.native_handle()) != 1) {
        error = "cannot load private key " + impl.m_options.m_strKeyFile +
                (ec ? ": " + ec.message() : ": it does not match the certificate");
        return VORN_STATUS::VORN_ERROR;
    }

    const auto address = net::ip::make_address(impl.m_options.m_strBindAddress, ec);
    if (ec) {
        error = "invalid bind address " + impl.m_options.m_strBindAddress;
        return VORN_STATUS::VORN_ERROR;
    }
    const tcp::endpoint endpoint(address, impl.m_options.m_nPort);
    impl.m_acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        impl.m_acceptor.set_option(net::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        impl.m_acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        impl.m_acceptor.listen(net::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        error = "cannot listen on " + impl.m_options.m_strBindAddress + ":" +
                std::to_string(impl.m_options.m_nPort) + ": " + ec.message();
        return VORN_STATUS::VORN_ERROR;
    }
    m_nPort = impl.m_acceptor.local_endpoint().port();
    impl.Accept();
    m_thread = std::thread([&impl] {
        for (;;) {
            try {
                impl.m_io.run();
                return;
            } catch (const std::exception& e) {
                // Only allocation failures get here; the session that hit one is
                // gone, the others go on.
                VORN_LOG_ERROR("connection handler failed: %s", e.what());
            }
        }
    });
    return VORN_STATUS::VORN_OK;
}

void CHttpsServer::Stop() {
    if (m_thread.joinable()) {
        m_pImpl->m_io.stop();
        m_thread.join();
    }
}

uint64_t CHttpsServer::IdentityRequests() const {
    return m_pImpl->m_nIdentityRequests.load();
}

}  // namespace vorn::cloud
