// Service URLs taken apart, the header block, and raw response headers.
#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <chrono>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/httprequest.h"
#include "agent/httpresponse.h"

namespace vorn {
namespace {

TEST(HttpRequestUrl, AcceptedUrls) {
    struct Case {
        const char* url;
        const char* host;
        int32_t port;
        const char* path;
    } cases[] = {
        {"cloud.example.com", "cloud.example.com", 443, ""},
        {"https://cloud.example.com/v1/identity", "cloud.example.com", 443, "/v1/identity"},
        {"HTTPS://Cloud.Example.com/", "Cloud.Example.com", 443, "/"},
        {"https://127.0.0.1:8443/id", "127.0.0.1", 8443, "/id"},
        {"host:65535", "host", 65535, ""},
        {"host:00443/a/b.json", "host", 443, "/a/b.json"},
        {"host/p%20q;x=1&y", "host", 443, "/p%20q;x=1&y"},
    };
    for (const Case& c : cases) {
        const HttpRequest request(POST, c.url, "{}");
        EXPECT_EQ(request.GetHost(), c.host) << c.url;
        EXPECT_EQ(request.GetPort(), c.port) << c.url;
        EXPECT_EQ(request.GetPath(), c.path) << c.url;
        EXPECT_EQ(request.GetBody(), "{}");
        EXPECT_EQ(request.GetMethod(), POST);
        EXPECT_EQ(request.GetUserAgent(), "");
    }
}

TEST(HttpRequestUrl, RejectedUrls) {
    const char* const cases[] = {
        "",
        "http://host/path",        // the colon after the scheme is not a port
        "https://host/id?x=1",     // query
        "https://host/id#frag",    // fragment
        "https://host/a b",        // space in the path
        "https://host/a:b",        // colon in the path
        "https://host:844300/id",  // six digits
        "https://host:65536/id",   // beyond any port
        "https://host:/id",
        "https:///id",
        " https://host/id",
        "https://host/id\n",
        // Nothing of these may end up in the host name.
        "https://host?x=1",
        "https://host#f",
        "https://user@host",
        "https://user:pw@host/id",
        "https://ho st/id",
        "https://ho\tst/id",
        "https://ho\x01st/id",
        "https://ho\x7fst/id",
        "https://host/a\x01b",
        // No socket can use port 0.
        "https://host:0/id",
        "host:00000",
    };
    for (const char* url : cases) {
        try {
            HttpRequest request(POST, url, "");
            ADD_FAILURE() << "accepted: " << url;
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), "Unsupported URI encountered") << url;
        }
    }
}

// The URL grammar as a regular expression: the hand-written parser must take
// every string apart exactly as this pattern does (whole-string match), and
// refuse port 0 and ports above 65535 on top of it.
struct UrlOutcome {
    bool accepted = false;
    std::string host;
    int32_t port = 0;
    std::string path;
};

UrlOutcome Expected(const std::string& url) {
    static const boost::regex pattern(
        "(?:https://)?(?<host>[^/:?#@\\s\\x00-\\x1f\\x7f]+)(?::(?<port>[0-9]{1,5}))?"
        "(?<path>/[^:#?\\s\\x00-\\x1f\\x7f]*)?",
        boost::regex::perl | boost::regex::icase);
    UrlOutcome outcome;
    boost::smatch match;
    if (!boost::regex_match(url, match, pattern)) {
        return outcome;
    }
    outcome.port = match["port"].matched ? std::stoi(match["port"].str()) : 443;
    if (outcome.port <= 0 || outcome.port > 65535) {
        return outcome;
    }
    outcome.accepted = true;
    outcome.host = match["host"].str();
    outcome.path = match["path"].matched ? match["path"].str() : "";
    return outcome;
}

UrlOutcome Parsed(const std::string& url) {
    UrlOutcome outcome;
    try {
        const HttpRequest request(GET, url, "");
        outcome.accepted = true;
        outcome.host = request.GetHost();
        outcome.port = request.GetPort();
        outcome.path = request.GetPath();
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "Unsupported URI encountered");
    }
    return outcome;
}

// Readable in a failure message: control and high bytes as \xNN.
std::string Show(const std::string& url) {
    static const char kHex[] = "0123456789abcdef";
    std::string shown;
    for (const char c : url) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7f) {
            shown += "\\x";
            shown += kHex[u >> 4];
            shown += kHex[u & 0xf];
        } else {
            shown += c;
        }
    }
    return shown;
}

// Returns false (and reports) on the first difference.
bool Agrees(const std::string& url, size_t& accepted) {
    const UrlOutcome want = Expected(url);
    const UrlOutcome got = Parsed(url);
    if (want.accepted != got.accepted ||
        (want.accepted &&
         (want.host != got.host || want.port != got.port || want.path != got.path))) {
        ADD_FAILURE() << "\"" << Show(url) << "\": pattern "
                      << (want.accepted ? "accepts" : "refuses") << " host=\"" << Show(want.host)
                      << "\" port=" << want.port << " path=\"" << Show(want.path) << "\"; parser "
                      << (got.accepted ? "accepts" : "refuses") << " host=\"" << Show(got.host)
                      << "\" port=" << got.port << " path=\"" << Show(got.path) << "\"";
        return false;
    }
    accepted += want.accepted ? 1 : 0;
    return true;
}

// Every short string over the characters that matter to the grammar (its
// delimiters, digits, letters of the scheme in both cases, white space,
// control and high bytes), behind the prefixes that decide the scheme.
TEST(HttpRequestUrl, AgreesWithPatternOnEveryShortString) {
    const std::string alphabet("htpsHS:/09a?#@ \t\x01\x7f\x80\xa0\xff", 21);
    const char* const prefixes[] = {"", "https://", "HtTpS://", "https:/", "http://", "h:1"};
    constexpr size_t kMaxLength = 4;
    size_t checked = 0;
    size_t accepted = 0;
    for (const char* prefix : prefixes) {
        std::vector<size_t> digits;
        std::string url = prefix;
        const size_t base = url.size();
        // Counts through every string of length 0..kMaxLength over the
        // alphabet, like an odometer that grows a digit when it overflows.
        for (;;) {
            url.resize(base);
            for (const size_t d : digits) {
                url += alphabet[d];
            }
            ++checked;
            if (!Agrees(url, accepted)) {
                return;
            }
            size_t i = 0;
            while (i < digits.size() && ++digits[i] == alphabet.size()) {
                digits[i++] = 0;
            }
            if (i == digits.size()) {
                if (digits.size() == kMaxLength) {
                    break;
                }
                digits.push_back(0);
            }
        }
    }
    EXPECT_GT(checked, 6U * 21 * 21 * 21 * 21);
    EXPECT_GT(accepted, 1000U);
}

// Long strings laid out as scheme, host, port and path, each part put
// together from pieces of real URLs and, now and then, any other piece, with a
// fixed seed: near misses of every part in every arrangement.
TEST(HttpRequestUrl, AgreesWithPatternOnLongStrings) {
    const std::vector<std::vector<std::string>> parts = {
        {"", "https://", "HTTPS://", "http://", "https:/", "https:"},
        {"cloud", ".example.com", "h", "127.0.0.1", "[::1]", "user@", "%20", "\xc3\xa9", "0"},
        {"", ":", ":443", ":0", ":00000", ":65535", ":65536", ":99999", ":123456", "0", "7"},
        {"", "/", "/v1/identity", "/a@b", ";x=1&y", "%20", "?", "#", "\xff", "/\x80"},
    };
    const std::vector<std::string> noise = {
        ":",    "/",    "?",    "#",        "@", " ", "\t", "\n", std::string(1, '\0'),
        "\x1f", "\x7f", "\x80", "https://", "9"};
    std::mt19937 random(20261210);
    std::uniform_int_distribution<int> repeat(0, 3);
    std::uniform_int_distribution<int> percent(0, 99);
    const auto any = [&random](const std::vector<std::string>& from) -> const std::string& {
        return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(random)];
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    size_t accepted = 0;
    for (int n = 0; n < 100000 && std::chrono::steady_clock::now() < deadline; ++n) {
        std::string url;
        for (const auto& part : parts) {
            for (int k = part.size() > 6 ? 1 + repeat(random) : 1; k > 0; --k) {
                url += percent(random) < 10 ? any(noise) : any(part);
            }
        }
        if (!Agrees(url, accepted)) {
            return;
        }
    }
    EXPECT_GT(accepted, 1000U);
}

TEST(HttpRequestHeaders, ContentTypeBlockAndFirstValueWins) {
    HttpRequest request(POST, "host", "");
    EXPECT_EQ(request.GetHeaderString(), "Content-Type: application/json\r\n");
    request.AddHeader("Content-Type", "text/plain");
    request.AddHeader("content-type", "text/plain");
    request.AddHeader("Accept", "*/*");
    EXPECT_EQ(request.GetHeaderString(), "Accept: */*\r\nContent-Type: application/json\r\n");
}

TEST(HttpRequestMethod, Names) {
    EXPECT_EQ(HttpRequest::GetHttpMethodString(GET), "GET");
    EXPECT_EQ(HttpRequest::GetHttpMethodString(POST), "POST");
    EXPECT_EQ(HttpRequest::GetHttpMethodString(HEAD), "HEAD");
    EXPECT_EQ(HttpRequest::GetHttpMethodString(DELETE), "DELETE");
    EXPECT_EQ(HttpRequest::GetHttpMethodString(static_cast<HttpMethod>(4)), "");
}

TEST(HttpResponseHeaders, ParseTable) {
    struct Case {
        const char* name;
        const char* raw;
        HttpHeaderMap expected;
    } cases[] = {
        {"status line skipped, CR LF",
         "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 120\r\nContent-Length: 2\r\n\r\n",
         {{"Retry-After", "120"}, {"Content-Length", "2"}}},
        {"first value stays", "HTTP/1.1 200 OK\r\nX-A: 1\r\nX-A: 2\r\n\r\n", {{"X-A", "1"}}},
        {"trimmed name and value", "HTTP/1.1 200 OK\r\n \tX-B \t:  v w\t\r\n", {{"X-B", "v w"}}},
        {"value keeps later colons",
         "Date: Wed, 21 Oct 2015 07:28:00 GMT\n",
         {{"Date", "Wed, 21 Oct 2015 07:28:00 GMT"}}},
        {"bare LF line ends", "A: 1\nB: 2\r\nC: 3\n", {{"A", "1"}, {"B", "2"}, {"C", "3"}}},
        // A bare CR ends no line: what follows it stays in the value, where
        // it cannot pose as a header of its own.
        {"bare CR inside a value",
         "HTTP/1.1 503 x\r\nX-A: 1\rRetry-After: 9\r\n\r\n",
         {{"X-A", "1 Retry-After: 9"}}},
        {"bare CR after a value", "X-A: 1\r\rRetry-After: 9\r\n", {{"X-A", "1  Retry-After: 9"}}},
        // The first spelling is kept with the first value.
        {"names in any case are one name",
         "retry-after: 5\r\nRETRY-AFTER: 6\r\n",
         {{"retry-after", "5"}}},
        {"text after the last break ignored", "A: 1\r\nB: 2", {{"A", "1"}}},
        {"empty name and value", ":\r\n", {{"", ""}}},
        {"nothing", "", {}},
    };
    for (const Case& c : cases) {
        HttpResponse response;
        response.ParseHeaders(c.raw);
        EXPECT_EQ(response.GetHeaders(), c.expected) << c.name;
    }
}

TEST(HttpResponseHeaders, LookupIgnoresCase) {
    HttpResponse response;
    // Proxies lower-case HTTP/1 names; the name is the same header.
    response.ParseHeaders("HTTP/1.1 429 Too Many\r\nretry-after: 5\r\nX-\xc4: 1\r\n\r\n");
    for (const char* name : {"Retry-After", "retry-after", "RETRY-AFTER", "rEtRy-AfTeR"}) {
        EXPECT_EQ(response.GetHeader(name), "5") << name;
    }
    EXPECT_EQ(response.GetHeader("Retry-After "), "");
    // Only ASCII letters fold.
    EXPECT_EQ(response.GetHeader("X-\xc4"), "1");
    EXPECT_EQ(response.GetHeader("X-\xe4"), "");
}

TEST(HttpResponseStatus, SuccessRange) {
    const std::pair<uint32_t, bool> cases[] = {{0, false},   {199, false}, {200, true},
                                               {204, true},  {299, true},  {300, false},
                                               {404, false}, {503, false}};
    for (const auto& [status, success] : cases) {
        HttpResponse response;
        response.SetStatus(status);
        EXPECT_EQ(response.IsSuccess(), success) << status;
    }
}

}  // namespace
}  // namespace vorn
