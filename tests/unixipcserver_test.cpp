#include "common/linux/unixipcserver.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/refreshclient.h"
#include "tests/ipclocalclient.h"
#include "tests/support/testsupport.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

// Answers every packet with its own bytes reversed (or with 'answer' when
// one is given), and records who sent it.
class EchoServer {
public:
    explicit EchoServer(const std::string& path, std::string fixedAnswer = std::string())
        : answer(std::move(fixedAnswer)),
          m_server(path, [this](const std::string& message, const LocalClient& client) {
              {
                  std::lock_guard<std::mutex> lock(m_mutex);
                  m_clients.push_back(client);
              }
              (void)m_server.SendAsync(
                  client.id,
                  answer.empty() ? std::string(message.rbegin(), message.rend()) : answer);
          }) {}

    const std::string answer;

    std::vector<LocalClient> Clients() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_clients;
    }
    CUnixIpcServer& server() { return m_server; }

private:
    std::mutex m_mutex;
    std::vector<LocalClient> m_clients;
    CUnixIpcServer m_server;
};

// The kernel names each client to the server: its uid and pid, and an id no
// other connection gets.
TEST(UnixIpcServerTest, ClientsAreKnownByTheKernelsCredentials) {
    TempDir dir;
    EchoServer echo(dir.file("vorn.sock"));
    const test::LocalClient a(dir.file("vorn.sock")), b(dir.file("vorn.sock"));
    ASSERT_TRUE(a.Send("ab"));
    EXPECT_EQ("ba", a.Receive(2s).value_or("<none>"));
    ASSERT_TRUE(b.Send("cd"));
    EXPECT_EQ("dc", b.Receive(2s).value_or("<none>"));
    const std::vector<LocalClient> clients = echo.Clients();
    ASSERT_EQ(2u, clients.size());
    for (const LocalClient& client : clients) {
        EXPECT_EQ(geteuid(), client.uid);
        EXPECT_EQ(getpid(), client.pid);
    }
    EXPECT_NE(clients[0].id, clients[1].id);

    struct stat info {};
    ASSERT_EQ(0, ::stat(dir.file("vorn.sock").c_str(), &info));
    EXPECT_EQ(0666u, info.st_mode & 0777) << "every local user may ask";
}

// Where the server binds: a stale socket is replaced, everything else in the
// way is refused with the reason, and the directory must be its owner's.
TEST(UnixIpcServerTest, BindingRefusesWhatItMustNotReplace) {
    TempDir dir;
    const std::string path = dir.file("vorn.sock");
    {
        // A socket file nobody listens on: what a killed agent leaves.
        const int stale = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, path.size());
        ASSERT_EQ(0, ::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address));
        ::close(stale);
        EchoServer replaced(path);
        const test::LocalClient client(path);
        ASSERT_TRUE(client.Send("xy"));
        EXPECT_EQ("yx", client.Receive(2s).value_or("<none>"));

        // A live server keeps its socket.
        try {
            CUnixIpcServer second(path, [](const std::string&, const LocalClient&) {});
            ADD_FAILURE() << "a second server took a live socket";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string::npos, std::string(e.what()).find("another agent serves it"))
                << e.what();
        }
    }
    EXPECT_NE(0, ::access(path.c_str(), F_OK)) << "the server left its socket behind";

    test::WriteFile(path, "not a socket");
    EXPECT_THROW(CUnixIpcServer(path, [](const std::string&, const LocalClient&) {}),
                 std::runtime_error);
    EXPECT_EQ("not a socket", test::ReadFile(path)) << "a file in the way was replaced";

    TempDir open;
    ASSERT_EQ(0, ::chmod(open.path().c_str(), 0777));
    try {
        CUnixIpcServer server(open.file("vorn.sock"),
                              [](const std::string&, const LocalClient&) {});
        ADD_FAILURE() << "served from a directory every user can write";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("writable by its owner only"))
            << e.what();
    }
    EXPECT_THROW(CUnixIpcServer(dir.file(std::string(120, 'x')),
                                [](const std::string&, const LocalClient&) {}),
                 std::invalid_argument);
}

// A client that sends without ever reading its answers is disconnected once
// its answers pile up; the server goes on serving everyone else.
TEST(UnixIpcServerTest, ClientThatNeverReadsIsDisconnected) {
    TempDir dir;
    EchoServer echo(dir.file("vorn.sock"));
    const test::LocalClient greedy(dir.file("vorn.sock"));
    bool disconnected = false;
    const auto end = std::chrono::steady_clock::now() + 10s;
    for (int i = 0; i < 100000 && !disconnected && std::chrono::steady_clock::now() < end; ++i) {
        disconnected = ::send(greedy.fd(), "\x01\x00", 2, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
                       (errno == EPIPE || errno == ECONNRESET);
        if (!disconnected && errno == EAGAIN) {
            std::this_thread::sleep_for(1ms);
        }
    }
    EXPECT_TRUE(disconnected) << "the server kept a client that does not read";

    const test::LocalClient polite(dir.file("vorn.sock"));
    ASSERT_TRUE(polite.Send("ok"));
    EXPECT_EQ("ko", polite.Receive(2s).value_or("<none>"));
}

// The refresh client checks who serves the socket before it sends: root, or
// the user it is told the agent runs as.
TEST(UnixIpcServerTest, RefreshClientBelievesOnlyTheAgentsUser) {
    TempDir dir;
    const std::string path = dir.file("vorn.sock");
    EXPECT_EQ(RefreshResult::Kind::NoAgent, RequestRefreshLocal(path, 1s).kind);

    // Answers every refresh request with error-response.
    EchoServer server(path, std::string("\x02\x00\x03\x00", 4));
    const RefreshResult mine = RequestRefreshLocal(path, 2s, geteuid());
    EXPECT_EQ(RefreshResult::Kind::Answered, mine.kind) << mine.error;
    EXPECT_EQ(3, mine.outcome);
    if (geteuid() != 0) {
        // Served by an ordinary user while root is expected: not even asked.
        const RefreshResult refused = RequestRefreshLocal(path, 2s, 0);
        EXPECT_EQ(RefreshResult::Kind::Untrusted, refused.kind);
        EXPECT_NE(std::string::npos,
                  refused.error.find("is served by uid " + std::to_string(geteuid())))
            << refused.error;
        EXPECT_EQ(1u, server.Clients().size());
    }
}

}  // namespace
}  // namespace vorn
