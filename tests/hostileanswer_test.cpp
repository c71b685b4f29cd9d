// Answers and header blocks crafted to harm: escape sequences, bytes that are
// not UTF-8, NUL characters, oversized identities, forged log lines, header
// names in another case and CRs inside values. Each must end as a plain
// outcome: refused identities are never handed on, and the log keeps one
// entry per line with the outside text escaped.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>

#include "agent/cloudcommunicator.h"
#include "agent/linux/httptransportlinux.h"
#include "tests/cloudpeer.h"
#include "tests/support/faketransport.h"
#include "tests/support/slowtlspeer.h"
#include "tests/support/testsupport.h"

namespace vorn {
namespace {

using test::FakeTransport;
using test::LogMark;
using test::LogSince;

// What a forged entry would look like at the start of a line of the log.
const char kForgedPrefix[] = "[Thu Dec 10 00:00:00 2026] T: 1 F: x L: 1 f: f S: error :: FORGED";

std::string Success(const std::string& vorn, const std::string& token = "T",
                    const std::string& instanceKey = "K") {
    return "{\"vorn\":\"" + vorn + "\",\"vorn_token\":\"" + token + "\",\"instance_key\":\"" +
           instanceKey + "\"}";
}

struct Case {
    const char* name;
    uint32_t httpStatus;
    std::string headers;
    std::string body;
    VORN_STATUS status;
    bool identityHandedOn;
    int64_t retryAfter;  // checked for VORN_CLOUD_RATE_LIMITED
    const char* log;     // must appear
};

class HostileAnswerTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeTransport::Shared> m_shared = std::make_shared<FakeTransport::Shared>();
    CloudCommunicator m_communicator{std::make_unique<FakeTransport>(m_shared)};
};

TEST_F(HostileAnswerTest, TableOfHostileAnswersAndHeaders) {
    const std::string big(1024 * 1024, 'v');
    // As a JSON escape (a line feed in the value) and as raw text.
    const std::string forged = std::string("\\n") + kForgedPrefix;
    const std::string forgedRaw = std::string("\n") + kForgedPrefix;
    const Case cases[] = {
        {"escape sequence in the VORN id", 200, "", Success("\\u001b[2J\\u001b[Hv"), VORN_OK, false,
         0, "Success answer refused: \"vorn\" is not printable UTF-8"},
        {"line feed in the VORN id", 200, "", Success("v" + forged), VORN_OK, false, 0,
         "Success answer refused: \"vorn\" is not printable UTF-8"},
        {"C1 control in the token", 200, "", Success("V", "t\\u0085t"), VORN_OK, false, 0,
         "Success answer refused: \"vorn_token\" is not printable UTF-8"},
        {"invalid UTF-8 in the instance key", 200, "", Success("V", "T", "k\xff\xfe"), VORN_OK,
         false, 0, "Success answer refused: \"instance_key\" is not printable UTF-8"},
        {"overlong UTF-8 in the VORN id", 200, "", Success("\xc0\xaf"), VORN_OK, false, 0,
         "Success answer refused: \"vorn\" is not printable UTF-8"},
        {"escaped NUL in the token", 200, "", Success("V", "tok\\u0000en"), VORN_OK, false, 0,
         "Success answer refused: a string holds a NUL character"},
        {"raw NUL in the VORN id", 200, "", Success(std::string("vo\0rn", 5)), VORN_OK, false, 0,
         "Success answer refused: a string holds a NUL character"},
        {"1 MB VORN id", 200, "", Success(big), VORN_OK, false, 0,
         "Success answer refused: \"vorn\" is longer than 4096 bytes"},
        {"instance key one byte too long", 200, "", Success("V", "T", std::string(4097, 'k')),
         VORN_OK, false, 0, "Success answer refused: \"instance_key\" is longer than 4096 bytes"},
        {"4096-byte values and non-ASCII text are kept", 200, "",
         Success("v\xc3\xb6rn-\xe2\x82\xac", std::string(4096, 't'), std::string(4096, 'k')),
         VORN_OK, true, 0, "invoking callback"},
        {"escaped backslash before u0000 is no NUL", 200, "", Success("V\\\\u0000"), VORN_OK, true,
         0, "invoking callback"},
        {"forged log line in the error message", 403, "",
         "{\"code\":403,\"msg\":\"denied" + forgedRaw + "\"}", VORN_CLOUD_ERROR_RESPONSE, false, 0,
         "Error response: {\"code\":403,\"msg\":\"denied\\n[Thu Dec 10"},
        {"forged log line in a body that is not JSON", 502, "", "oops" + forgedRaw,
         VORN_CLOUD_ERROR_RESPONSE, false, 0, "Couldn't parse json : oops\\n[Thu Dec 10"},
        {"escape codes in a body that is not JSON", 500, "", "\x1b[2J\x1b]0;owned\x07",
         VORN_CLOUD_ERROR_RESPONSE, false, 0, "Couldn't parse json : \\x1b[2J\\x1b]0;owned\\x07"},
        {"huge error body is cut in the log", 500, "", std::string(100000, 'x'),
         VORN_CLOUD_ERROR_RESPONSE, false, 0, "...(97952 more bytes)"},
        {"lower-case retry-after", 429, "HTTP/1.1 429 x\r\nretry-after: 30\r\n\r\n",
         R"({"code":429,"msg":"slow down"})", VORN_CLOUD_RATE_LIMITED, false, 30,
         "Retry After Seconds set to 30 seconds"},
        {"upper-case RETRY-AFTER", 503, "RETRY-AFTER: 7\r\n", R"({"code":503,"msg":"busy"})",
         VORN_CLOUD_RATE_LIMITED, false, 7, "Retry After Seconds set to 7 seconds"},
        {"Retry-After smuggled after a CR inside a value", 503,
         "HTTP/1.1 503 x\r\nX-Note: a\rRetry-After: 30\r\n\r\n", R"({"code":503,"msg":"busy"})",
         VORN_CLOUD_ERROR_RESPONSE, false, 0, "Error response: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard<std::mutex> lock(m_shared->mutex);
            m_shared->answer = {VORN_OK, c.httpStatus, c.headers, c.body};
        }
        test::IdentityReceiver receiver;
        const size_t mark = LogMark();
        ASSERT_EQ(m_communicator.GetIdentity("https://cloud.test/id",
                                             test::MinimalIdentityRequest(), receiver.Callback()),
                  VORN_OK);
        const auto response = receiver.Wait();
        ASSERT_TRUE(response);
        EXPECT_EQ(response->m_status, c.status);
        // A refused success answer hands nothing on, so the agent keeps what
        // it has stored and tells its clients comm-error.
        EXPECT_EQ(!response->m_strVorn.empty(), c.identityHandedOn);
        EXPECT_EQ(!response->m_strToken.empty(), c.identityHandedOn);
        EXPECT_EQ(!response->m_strInstanceKey.empty(), c.identityHandedOn);
        if (c.status == VORN_CLOUD_RATE_LIMITED) {
            EXPECT_EQ(response->m_nRetryAfterSeconds, c.retryAfter);
        }

        const std::string log = LogSince(mark);
        EXPECT_NE(log.find(c.log), std::string::npos) << log.substr(0, 4000);
        // One entry, one line: no line starts with outside text, and no
        // terminal control or stray byte reached the file.
        std::istringstream lines(log);
        for (std::string line; std::getline(lines, line);) {
            EXPECT_NE(line.rfind("[Thu Dec 10 00:00:00 2026]", 0), 0u) << line;
            EXPECT_EQ(line.find_first_of(std::string("\x1b\x07\r\0", 4)), std::string::npos)
                << line.substr(0, 200);
            EXPECT_LT(line.size(), 9000u);
        }
    }
}

// The same over the wire: what libcurl hands over of a hostile header block
// is parsed and logged as one line, and a lower-case Retry-After still counts.
TEST(HostileHeadersOverTls, HeaderBlockIsParsedAndLoggedSafely) {
    test::TrustCloudCertificates();
    const std::string body = R"({"code":503,"msg":"busy"})";
    test::SlowTlsPeer peer(
        "HTTP/1.1 503 Service Unavailable\r\n"
        "Content-Type: application/json\r\n"
        "X-Note: a\rRetry-After: 30\r\n"
        "X-Title: \x1b]0;owned\x07\x1b[2J\r\n"
        "retry-after: 7\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    ASSERT_NE(peer.port(), 0);

    HttpRequest request(POST, peer.url(), "{}");
    request.SetUserAgent(CloudCommunicator::kUserAgent);
    HttpTransport transport;
    HttpResponse response;
    const size_t mark = LogMark();
    ASSERT_EQ(transport.SendRequest(request, response), VORN_OK) << LogSince(mark);
    EXPECT_EQ(response.GetStatus(), 503u);
    EXPECT_EQ(response.GetHeader("Retry-After"), "7");
    EXPECT_EQ(response.GetHeader("X-Note"), "a Retry-After: 30");
    EXPECT_EQ(response.GetBody(), body);

    const std::string log = LogSince(mark);
    EXPECT_NE(log.find("Header contents: HTTP/1.1 503 Service Unavailable\\r\\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("X-Note: a\\rRetry-After: 30\\r\\nX-Title: \\x1b]0;owned\\x07"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find_first_of(std::string("\x1b\x07\r", 3)), std::string::npos);
}

}  // namespace
}  // namespace vorn
