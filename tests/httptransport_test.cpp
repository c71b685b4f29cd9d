// The libcurl transport against a real HTTPS peer on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "agent/linux/httptransportlinux.h"
#include "tests/cloudpeer.h"
#include "tests/support/slowtlspeer.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using test::CloudPeer;
using test::LogMark;
using test::LogSince;

struct Sent {
    VORN_STATUS result;
    HttpResponse response;
    std::chrono::milliseconds took;
};

// One exchange on a transport of its own, timed.
Sent SendTimed(const HttpRequest& request) {
    HttpTransport transport;
    Sent sent{VORN_OK, {}, {}};
    const auto start = std::chrono::steady_clock::now();
    sent.result = transport.SendRequest(request, sent.response);
    sent.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    return sent;
}

Sent Send(const std::string& url, const std::string& body = test::ValidDocument()) {
    test::CurlGlobalInitOnce();
    HttpRequest request(POST, url, body);
    request.SetUserAgent("Zanto Tessel Identity/1.1.34");
    return SendTimed(request);
}

TEST(HttpTransport, AnswersAreReturnedWhateverTheirStatus) {
    struct Case {
        const char* query;
        uint32_t status;
        const char* header;
        const char* headerValue;
        const char* bodyPart;
    } cases[] = {
        {"", 200, "Content-Type", "application/json", R"("vorn_token")"},
        {"status=404", 404, "Content-Type", "application/json", R"("code":404)"},
        {"status=429&retry_after=Wed, 21 Oct 2015 07:28:00 GMT", 429, "Retry-After",
         "Wed, 21 Oct 2015 07:28:00 GMT", R"("code":429)"},
        {"redirect=https://127.0.0.1:1/elsewhere", 302, "Location", "https://127.0.0.1:1/elsewhere",
         R"("code":302)"},
        {"fault=huge-headers", 200, "Content-Type", "application/json", R"("vorn")"},
    };
    for (const Case& c : cases) {
        CloudPeer::Options options;
        options.defaultQuery = c.query;
        CloudPeer peer(options);
        const Sent sent = Send(peer.url());
        EXPECT_EQ(sent.result, VORN_OK) << c.query;
        EXPECT_EQ(sent.response.GetStatus(), c.status) << c.query;
        EXPECT_EQ(sent.response.GetHeader(c.header), c.headerValue) << c.query;
        EXPECT_NE(sent.response.GetBody().find(c.bodyPart), std::string::npos)
            << c.query << ": " << sent.response.GetBody();
    }
}

TEST(HttpTransport, HostOnlyUrlAndRepeatedExchangesWork) {
    CloudPeer peer(CloudPeer::Options{});
    for (int i = 0; i < 3; ++i) {
        const size_t mark = LogMark();
        const Sent sent = Send("HTTPS://localhost:" + std::to_string(peer.port()));
        EXPECT_EQ(sent.result, VORN_OK);
        EXPECT_EQ(sent.response.GetStatus(), 200u);
        const std::string log = LogSince(mark);
        EXPECT_NE(log.find("f: vorn::fetchResponseData S: verbose ::  Server response received \n"),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("f: vorn::fetchResponseHeaders S: verbose :: Header contents: HTTP/1.1 "
                           "200"),
                  std::string::npos)
            << log;
    }
}

TEST(HttpTransport, FailuresMapToSecureChannelOrError) {
    struct Case {
        const char* name;
        CloudPeer::Options peer;
        VORN_STATUS result;
        const char* log;
        // The start of the reason given to the administrator.
        const char* reason;
    } cases[] = {
        {"untrusted certificate",
         {"", true, 60000},
         VORN_SECURE_CHANNEL_FAILED,
         "f: vorn::HttpTransport::SendRequest S: error :: Unable to send request",
         "certificate of 127.0.0.1 not trusted: SSL certificate problem: "},
        {"204 without body",
         {"status=204", false, 60000},
         VORN_ERROR,
         "f: vorn::fetchResponseData S: debug :: Response 204 has no body",
         "127.0.0.1 port "},
        {"empty 200 body",
         {"body=empty", false, 60000},
         VORN_ERROR,
         "Response 200 has no body",
         "127.0.0.1 port "},
        {"2 MiB body",
         {"body=oversize", false, 60000},
         VORN_ERROR,
         "f: vorn::fetchResponseData S: error :: Response body larger than 1048576 bytes",
         "answer from 127.0.0.1 port "},
        {"endless body",
         {"fault=huge-body", false, 60000},
         VORN_ERROR,
         "Response body larger than 1048576 bytes",
         "answer from 127.0.0.1 port "},
        {"reset mid-response",
         {"fault=reset", false, 60000},
         VORN_ERROR,
         "Unable to send request",
         "exchange with 127.0.0.1 port "},
        {"garbage instead of HTTP",
         {"fault=garbage", false, 60000},
         VORN_ERROR,
         "Unable to send request",
         "exchange with 127.0.0.1 port "},
    };
    for (const Case& c : cases) {
        CloudPeer peer(c.peer);
        const size_t mark = LogMark();
        const Sent sent = Send(peer.url());
        EXPECT_EQ(sent.result, c.result) << c.name;
        EXPECT_NE(LogSince(mark).find(c.log), std::string::npos) << c.name << "\n"
                                                                 << LogSince(mark);
        EXPECT_EQ(0u, sent.response.GetFailureReason().find(c.reason))
            << c.name << ": " << sent.response.GetFailureReason();
        EXPECT_LT(sent.took, std::chrono::seconds(4)) << c.name;
    }
}

TEST(HttpTransport, ClosedPortFailsAtOnce) {
    const unsigned short port = test::ClosedLoopbackTcpPort();
    const Sent sent = Send("https://127.0.0.1:" + std::to_string(port) + "/");
    EXPECT_EQ(sent.result, VORN_ERROR);
    EXPECT_LT(sent.took, std::chrono::seconds(2));
    // The administrator's reason names the target and the system's text.
    EXPECT_EQ("127.0.0.1 port " + std::to_string(port) + " unreachable: Connection refused",
              sent.response.GetFailureReason());
}

TEST(HttpTransport, UnusableHostFailsWithoutNetwork) {
    const size_t mark = LogMark();
    const Sent sent = Send("https://bad\\host/");
    EXPECT_EQ(sent.result, VORN_ERROR);
    EXPECT_NE(LogSince(mark).find("f: vorn::winHttpInit S: error :: Unable to open connect handle"),
              std::string::npos);
}

// The one test that waits for the 5 s bounds, both at once: a peer silent
// after the handshake is "nothing moved"; one silent during the handshake
// runs into the connect time-out, and the log says so.
TEST(HttpTransport, SilentPeersAreAbandonedAfterFiveSeconds) {
    CloudPeer::Options options;
    options.defaultQuery = "fault=stall";
    CloudPeer peer(options);
    test::SlowTlsPeer handshake(test::SlowTlsPeer::Mode::Silent);
    ASSERT_NE(handshake.port(), 0);
    const size_t mark = LogMark();
    test::CurlGlobalInitOnce();
    const HttpRequest toHandshake(POST, handshake.url(), test::ValidDocument());
    const HttpRequest toPeer(POST, peer.url(), test::ValidDocument());
    auto duringHandshake = std::async(std::launch::async, [&] { return SendTimed(toHandshake); });
    const Sent sent = SendTimed(toPeer);
    const Sent silentHandshake = duringHandshake.get();
    EXPECT_EQ(sent.result, VORN_ERROR);
    EXPECT_GE(sent.took, std::chrono::milliseconds(4500));
    EXPECT_LT(sent.took, std::chrono::milliseconds(8000));
    EXPECT_EQ(silentHandshake.result, VORN_ERROR);
    EXPECT_GE(silentHandshake.took, std::chrono::milliseconds(4500));
    EXPECT_LT(silentHandshake.took, std::chrono::milliseconds(8000));
    const std::string log = LogSince(mark);
    EXPECT_NE(log.find("nothing moved for 5000 ms"), std::string::npos) << log;
    EXPECT_NE(log.find("SSL connection timeout"), std::string::npos) << log;
    EXPECT_EQ(log.find("nothing moved", log.find("nothing moved") + 1), std::string::npos) << log;
}

// A body that keeps trickling never trips the stall bound; the overall bound
// (shortened here from its 60 s) ends it.
TEST(HttpTransport, TricklingBodyEndsAtTheOverallDeadline) {
    test::TrustCloudCertificates();
    test::SlowTlsPeer peer(test::SlowTlsPeer::Mode::Trickle, 100ms);
    ASSERT_NE(peer.port(), 0);
    HttpRequest request(POST, peer.url(), test::ValidDocument());
    HttpTransport transport(1500);
    HttpResponse response;
    const size_t mark = LogMark();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(transport.SendRequest(request, response), VORN_ERROR);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 1400ms);
    EXPECT_LT(took, 4s);
    EXPECT_GE(peer.BodyBytesSent(), 5);
    EXPECT_NE(LogSince(mark).find("f: vorn::parseWinHttpResponse S: error :: Unable to receive "
                                  "response: the exchange took longer than 1500 ms"),
              std::string::npos)
        << LogSince(mark);
}

// Abort ends the exchange at once in every phase it may be waiting in, and
// every later exchange of that transport fails without reaching the network.
TEST(HttpTransport, AbortEndsTheExchangeAtOnceAndRefusesLaterOnes) {
    test::TrustCloudCertificates();
    const struct {
        const char* name;
        test::SlowTlsPeer::Mode mode;
        std::function<bool(const test::SlowTlsPeer&)> waiting;
    } cases[] = {
        {"handshake", test::SlowTlsPeer::Mode::Silent,
         [](const test::SlowTlsPeer& p) { return p.Accepted() > 0; }},
        {"answer", test::SlowTlsPeer::Mode::SilentAfterRequest,
         [](const test::SlowTlsPeer& p) { return p.RequestsRead() > 0; }},
        {"body", test::SlowTlsPeer::Mode::Trickle,
         [](const test::SlowTlsPeer& p) { return p.BodyBytesSent() >= 2; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::SlowTlsPeer peer(c.mode);
        ASSERT_NE(peer.port(), 0);
        HttpTransport transport;
        HttpRequest request(POST, peer.url(), test::ValidDocument());
        std::promise<VORN_STATUS> result;
        std::thread exchange([&] {
            HttpResponse response;
            result.set_value(transport.SendRequest(request, response));
        });
        EXPECT_TRUE(test::WaitUntil([&] { return c.waiting(peer); }, 10s));
        const auto aborted = std::chrono::steady_clock::now();
        transport.Abort();
        auto outcome = result.get_future();
        // Far below the 5 s bounds that would otherwise end the exchange.
        EXPECT_EQ(outcome.wait_for(2s), std::future_status::ready);
        exchange.join();
        EXPECT_LT(std::chrono::steady_clock::now() - aborted, 2s);
        EXPECT_EQ(outcome.get(), VORN_ERROR);

        const int accepted = peer.Accepted();
        HttpResponse response;
        EXPECT_EQ(transport.SendRequest(request, response), VORN_ERROR);
        EXPECT_EQ(peer.Accepted(), accepted);
    }
}

}  // namespace
}  // namespace vorn
