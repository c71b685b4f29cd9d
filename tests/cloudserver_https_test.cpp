// The real vorn-cloud binary over TLS on loopback: certificates it generates,
// the identity exchange, every fault knob, /stats, and its lifecycle.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/testsupport.h"

namespace vorn::test {
namespace {

using namespace std::chrono_literals;

const char kRequest[] =
    R"({"business":{"id":"b1","installer_key":"k1"},"hardware":{"serial_number":"QUJD",)"
    R"("uuid":"u-1"},"os":{"hostname":"host"},"misc":{"product":{}}})";

struct Reply {
    CURLcode m_rc = CURLE_OK;
    long m_nStatus = 0;
    std::string m_strHeaders;
    std::string m_strBody;
    std::chrono::milliseconds m_elapsed{0};
};

size_t Collect(char* data, size_t size, size_t count, void* target) {
    auto* text = static_cast<std::string*>(target);
    // Stop reading a body past 4 MiB, like a client with a bounded buffer.
    if (text->size() > 4 * 1024 * 1024) {
        return 0;
    }
    text->append(data, size * count);
    return size * count;
}

// One request with libcurl, trusting only 'caFile', from the loopback address
// 'source' when one is given.
Reply Send(unsigned short port, const std::string& target, const std::string& caFile,
           const std::string* body = nullptr, long timeoutMs = 10000,
           const std::string& source = "") {
    Reply reply;
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!source.empty()) {
        curl_easy_setopt(curl.get(), CURLOPT_INTERFACE, ("host!" + source).c_str());
    }
    const std::string url = "https://127.0.0.1:" + std::to_string(port) + target;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &reply.m_strBody);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, Collect);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, &reply.m_strHeaders);
    if (body != nullptr) {
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body->c_str());
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(body->size()));
    }
    const auto start = std::chrono::steady_clock::now();
    reply.m_rc = curl_easy_perform(curl.get());
    reply.m_elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &reply.m_nStatus);
    return reply;
}

// A running vorn-cloud, stopped (and its exit checked by the caller) or killed.
// Its fault knobs are on unless asked otherwise.
class CloudProcess {
public:
    CloudProcess(const TempDir& certs, std::vector<std::string> extraArgs,
                 const std::string& cert = "server", bool faultKnobs = true) {
        std::vector<std::string> args = {
            BinaryPath("vorn-cloud"),  "--cert",       certs.file(cert + ".pem"), "--key",
            certs.file(cert + ".key"), "--ready-file", m_dir.file("ready")};
        if (faultKnobs) {
            args.push_back("--fault-knobs");
        }
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        m_process = std::make_unique<ChildProcess>(ChildProcess::Options{args, {}, "", {}});
        EXPECT_TRUE(WaitUntil([&] { return FileExists(m_dir.file("ready")); }, 10s))
            << m_process->Stderr();
        m_nPort = static_cast<unsigned short>(std::stoul(ReadFile(m_dir.file("ready"))));
    }

    unsigned short port() const { return m_nPort; }
    ChildProcess& process() { return *m_process; }

private:
    TempDir m_dir;
    std::unique_ptr<ChildProcess> m_process;
    unsigned short m_nPort = 0;
};

class CloudServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        s_certs = new TempDir();
        ChildProcess generate(
            {{BinaryPath("vorn-cloud"), "--generate-cert", s_certs->path()}, {}, "", {}});
        const auto status = generate.Wait(30s);
        ASSERT_TRUE(status.has_value());
        ASSERT_EQ(0, ExitCode(*status)) << generate.Stderr();
    }
    static void TearDownTestSuite() {
        delete s_certs;
        s_certs = nullptr;
        curl_global_cleanup();
    }

    Reply Post(CloudProcess& cloud, const std::string& target, const std::string& body = kRequest,
               long timeoutMs = 10000, const std::string& source = "") {
        return Send(cloud.port(), target, s_certs->file("ca.pem"), &body, timeoutMs, source);
    }
    Reply Get(CloudProcess& cloud, const std::string& target) {
        return Send(cloud.port(), target, s_certs->file("ca.pem"));
    }

    static TempDir* s_certs;
};
TempDir* CloudServerTest::s_certs = nullptr;

TEST_F(CloudServerTest, GeneratedFilesKeepPrivateKeysPrivate) {
    for (const char* name : {"server.key", "untrusted.key"}) {
        struct stat info {};
        ASSERT_EQ(0, ::stat(s_certs->file(name).c_str(), &info)) << name;
        EXPECT_EQ(0600u, info.st_mode & 0777) << name;
        EXPECT_NE(std::string::npos, ReadFile(s_certs->file(name)).find("PRIVATE KEY")) << name;
    }
    for (const char* name : {"ca.pem", "server.pem", "untrusted.pem"}) {
        EXPECT_NE(std::string::npos, ReadFile(s_certs->file(name)).find("BEGIN CERTIFICATE"))
            << name;
    }
    EXPECT_FALSE(FileExists(s_certs->file("ca.key")));
}

TEST_F(CloudServerTest, GenerateCertCreatesAMissingDirectoryPrivately) {
    TempDir base;
    const std::string dir = base.file("new/certs");
    ChildProcess generate({{BinaryPath("vorn-cloud"), "--generate-cert", dir}, {}, "", {}});
    const auto status = generate.Wait(30s);
    ASSERT_TRUE(status.has_value());
    ASSERT_EQ(0, ExitCode(*status)) << generate.Stderr();
    for (const std::string& path : {base.file("new"), dir}) {
        struct stat info {};
        ASSERT_EQ(0, ::stat(path.c_str(), &info)) << path;
        EXPECT_EQ(0700u, info.st_mode & 0777) << path;
    }
    EXPECT_TRUE(FileExists(dir + "/server.key"));

    // A file in the way is still an error.
    ChildProcess clash(
        {{BinaryPath("vorn-cloud"), "--generate-cert", dir + "/ca.pem"}, {}, "", {}});
    const auto clashStatus = clash.Wait(30s);
    ASSERT_TRUE(clashStatus.has_value());
    EXPECT_EQ(1, ExitCode(*clashStatus));
    EXPECT_NE(std::string::npos, clash.Stderr().find("not a directory"));
}

TEST_F(CloudServerTest, AnswersEveryKnobAsAsked) {
    CloudProcess cloud(*s_certs, {});
    const struct {
        const char* query;
        long status;
        const char* header;  // expected in the headers, or ""
        const char* inBody;  // expected in the body, or "" for an empty body
    } cases[] = {
        {"", 200, "Content-Type: application/json", "\"vorn_token\":\""},
        {"?status=503&retry_after=7", 503, "Retry-After: 7\r\n", R"({"code":503,"msg":")"},
        {"?status=404", 404, "", R"({"code":404,)"},
        {"?status=429&retry_after=Wed,%2021%20Oct%202015%2007:28:00%20GMT", 429,
         "Retry-After: Wed, 21 Oct 2015 07:28:00 GMT\r\n", R"("code":429)"},
        {"?status=503&retry_after=soon", 503, "Retry-After: soon\r\n", R"("code":503)"},
        {"?status=204", 204, "", ""},
        {"?status=201", 201, "", "\"vorn\":\""},
        {"?redirect=https://127.0.0.1:1/elsewhere", 302, "Location: https://127.0.0.1:1/elsewhere",
         R"("code":302)"},
        {"?body=empty", 200, "Content-Length: 0", ""},
        {"?body=notjson", 200, "", "<html>"},
        {"?body=nomembers", 200, "", R"({"result":"ok"})"},
        {"?status=500&body=empty", 500, "", ""},
        {"?status=99", 400, "", "status must be"},
        {"?colour=red", 400, "", "unknown query parameter"},
    };
    for (const auto& c : cases) {
        const Reply reply = Post(cloud, std::string("/identity") + c.query);
        ASSERT_EQ(CURLE_OK, reply.m_rc) << c.query;
        EXPECT_EQ(c.status, reply.m_nStatus) << c.query;
        EXPECT_NE(std::string::npos, reply.m_strHeaders.find(c.header)) << c.query;
        if (*c.inBody == '\0') {
            EXPECT_EQ("", reply.m_strBody) << c.query;
        } else {
            EXPECT_NE(std::string::npos, reply.m_strBody.find(c.inBody))
                << c.query << ": " << reply.m_strBody;
        }
        if (std::string(c.query).find("retry_after") == std::string::npos) {
            EXPECT_EQ(std::string::npos, reply.m_strHeaders.find("Retry-After")) << c.query;
        }
    }

    const Reply oversize = Post(cloud, "/identity?body=oversize");
    ASSERT_EQ(CURLE_OK, oversize.m_rc);
    EXPECT_EQ(2u * 1024 * 1024, oversize.m_strBody.size());
    EXPECT_EQ('}', oversize.m_strBody.back());

    const Reply delayed = Post(cloud, "/identity?delay_ms=300");
    ASSERT_EQ(CURLE_OK, delayed.m_rc);
    EXPECT_EQ(200, delayed.m_nStatus);
    EXPECT_GE(delayed.m_elapsed, 300ms);
}

TEST_F(CloudServerTest, ConnectionFaultsFailTheClientWithoutHurtingTheServer) {
    CloudProcess cloud(*s_certs, {});
    EXPECT_NE(CURLE_OK, Post(cloud, "/?fault=reset").m_rc);
    EXPECT_NE(CURLE_OK, Post(cloud, "/?fault=garbage").m_rc);
    const Reply stalled = Post(cloud, "/?fault=stall", kRequest, 400);
    EXPECT_EQ(CURLE_OPERATION_TIMEDOUT, stalled.m_rc);
    // The collector refuses past 4 MiB; the server then gives up its 1 GiB.
    const Reply huge = Post(cloud, "/?fault=huge-body");
    EXPECT_EQ(CURLE_WRITE_ERROR, huge.m_rc);
    EXPECT_EQ(200, huge.m_nStatus);

    const Reply headers = Post(cloud, "/?fault=huge-headers");
    ASSERT_EQ(CURLE_OK, headers.m_rc);
    EXPECT_GE(headers.m_strHeaders.size(), 64u * 1024);
    EXPECT_NE(std::string::npos, headers.m_strBody.find("\"vorn\""));

    // A request body above 1 MiB is refused, not buffered.
    const Reply big = Post(cloud, "/", std::string(1024 * 1024 + 1, ' '));
    EXPECT_EQ(413, big.m_nStatus);

    // Anything but POST and GET /stats.
    EXPECT_EQ(404, Get(cloud, "/identity").m_nStatus);

    // Still serving, and every POST above was counted.
    const Reply stats = Get(cloud, "/stats");
    EXPECT_EQ(200, stats.m_nStatus);
    EXPECT_EQ(R"({"identity_requests":6})", stats.m_strBody);
}

TEST_F(CloudServerTest, UntrustedCertificateIsRefusedByTheClient) {
    CloudProcess cloud(*s_certs, {}, "untrusted");
    EXPECT_EQ(CURLE_PEER_FAILED_VERIFICATION, Post(cloud, "/").m_rc);
}

TEST_F(CloudServerTest, DefaultQueryWithOnceAppliesToTheFirstPostOnly) {
    CloudProcess cloud(*s_certs, {"--default-query", "status=503&retry_after=2&once=1"});
    const Reply first = Post(cloud, "/");
    EXPECT_EQ(503, first.m_nStatus);
    EXPECT_NE(std::string::npos, first.m_strHeaders.find("Retry-After: 2"));
    EXPECT_EQ(200, Post(cloud, "/").m_nStatus);
    // A query of its own replaces the default.
    EXPECT_EQ(418, Post(cloud, "/?status=418").m_nStatus);
}

TEST_F(CloudServerTest, AccountsAndDatabaseSurviveARestart) {
    TempDir data;
    const std::vector<std::string> args = {"--db", data.file("devices.db"), "--account", "b1:k1"};
    std::string vornAndKey;
    {
        CloudProcess cloud(*s_certs, args);
        const Reply wrongKey = Post(
            cloud, "/", std::string(kRequest).replace(std::string(kRequest).find("k1"), 2, "k2"));
        EXPECT_EQ(401, wrongKey.m_nStatus);
        const Reply reply = Post(cloud, "/");
        ASSERT_EQ(200, reply.m_nStatus);
        vornAndKey = reply.m_strBody.substr(0, reply.m_strBody.find("\"vorn_token\""));
        vornAndKey += reply.m_strBody.substr(reply.m_strBody.find("\"instance_key\""));
        // End of standard input stops the service cleanly.
        cloud.process().CloseStdin();
        const auto status = cloud.process().Wait(5s);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(0, ExitCode(*status));
    }
    CloudProcess cloud(*s_certs, args);
    const Reply reply = Post(cloud, "/");
    ASSERT_EQ(200, reply.m_nStatus);
    // Same id and same instance key; only the token is new.
    EXPECT_NE(std::string::npos, reply.m_strBody.find(vornAndKey.substr(0, 48)));
    EXPECT_NE(std::string::npos,
              reply.m_strBody.find(vornAndKey.substr(vornAndKey.find("\"instance_key\""))));
    cloud.process().Signal(SIGTERM);
    const auto status = cloud.process().Wait(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(0, ExitCode(*status));
}

TEST_F(CloudServerTest, SilentClientIsDroppedAfterTheIoTimeout) {
    CloudProcess cloud(*s_certs, {"--io-timeout-ms", "200"});
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(cloud.port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    // Never start the handshake; the server must close its end.
    pollfd pfd{fd, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&pfd, 1, 3000));
    char byte = 0;
    EXPECT_LE(::read(fd, &byte, 1), 0);
    ::close(fd);
    EXPECT_EQ(200, Post(cloud, "/").m_nStatus);
}

TEST_F(CloudServerTest, KnobsAreRefusedUnlessSwitchedOn) {
    CloudProcess cloud(*s_certs, {}, "server", false);
    for (const char* query : {"?status=503", "?fault=stall", "?fault=huge-body", "?x"}) {
        const Reply reply = Post(cloud, std::string("/identity") + query, kRequest, 5000);
        ASSERT_EQ(CURLE_OK, reply.m_rc) << query;
        EXPECT_EQ(400, reply.m_nStatus) << query;
        EXPECT_NE(std::string::npos, reply.m_strBody.find("--fault-knobs")) << query;
    }
    EXPECT_EQ(200, Post(cloud, "/identity").m_nStatus);

    // A default query is a knob too: refused at start-up without the switch.
    ChildProcess refused({{BinaryPath("vorn-cloud"), "--cert", s_certs->file("server.pem"), "--key",
                           s_certs->file("server.key"), "--default-query", "fault=stall"},
                          {},
                          "",
                          {}});
    const auto status = refused.Wait(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(2, ExitCode(*status));
    EXPECT_NE(std::string::npos, refused.Stderr().find("--default-query needs --fault-knobs"));
}

// One client address that opens 300 connections and never speaks holds at
// most its own share of the slots, and only until the handshake deadline.
TEST_F(CloudServerTest, OnePeerCannotLockOutAnother) {
    CloudProcess cloud(*s_certs, {"--io-timeout-ms", "60000", "--handshake-timeout-ms", "500"});
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(cloud.port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<int> idle;
    for (int i = 0; i < 300; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        idle.push_back(fd);
        ASSERT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    }
    // Another address on the loopback network is another peer, served at once.
    const auto start = std::chrono::steady_clock::now();
    const Reply other = Post(cloud, "/identity", kRequest, 5000, "127.0.0.2");
    ASSERT_EQ(CURLE_OK, other.m_rc);
    EXPECT_EQ(200, other.m_nStatus);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    // Every idle connection is closed: the surplus on accept, the rest at the
    // handshake deadline, although the I/O time-out is a minute.
    for (const int fd : idle) {
        pollfd pfd{fd, POLLIN, 0};
        ASSERT_EQ(1, ::poll(&pfd, 1, 5000));
        char byte = 0;
        EXPECT_LE(::read(fd, &byte, 1), 0);
        ::close(fd);
    }
    EXPECT_EQ(200, Post(cloud, "/identity").m_nStatus);
}

TEST_F(CloudServerTest, HelpDocumentsEveryOptionAndKnob) {
    ChildProcess help({{BinaryPath("vorn-cloud"), "--help"}, {}, "", {}});
    const auto status = help.Wait(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(0, ExitCode(*status));
    for (const char* word : {"--generate-cert", "--cert",
                             "--key",           "--port",
                             "--bind",          "--db",
                             "--account",       "--default-query",
                             "--fault-knobs",   "--handshake-timeout-ms",
                             "--ready-file",    "/stats",
                             "status=",         "retry_after=",
                             "delay_ms=",       "body=empty",
                             "notjson",         "oversize",
                             "nomembers",       "redirect=",
                             "fault=reset",     "stall",
                             "huge-headers",    "huge-body",
                             "garbage",         "once=1"}) {
        EXPECT_NE(std::string::npos, help.Stdout().find(word)) << word;
    }
    ChildProcess bad({{BinaryPath("vorn-cloud"), "--port", "70000"}, {}, "", {}});
    const auto badStatus = bad.Wait(5s);
    ASSERT_TRUE(badStatus.has_value());
    EXPECT_NE(0, ExitCode(*badStatus));
    EXPECT_NE(std::string::npos, bad.Stderr().find("invalid port"));
}

}  // namespace
}  // namespace vorn::test
