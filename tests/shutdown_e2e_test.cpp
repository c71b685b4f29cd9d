// The real agent told to stop (SIGTERM) in each state it can be stuck in:
// during start-up, on a name server that never answers (for the cloud's host
// or for the machine's own name), on a peer that never answers, on a body
// that trickles in, and on a store lock another process holds. In every
// state it exits with 0 within a second.
//
// The name-server states run the agent in private mount and host-name
// namespaces (unshare -m -u) whose resolv.conf points at a silent UDP socket
// on 127.0.0.77:53; they need root and skip themselves otherwise.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent/linux/crashserverprotocol.h"
#include "common/ipcmessage.h"
#include "common/refreshclient.h"
#include "tests/ipcudpclient.h"
#include "tests/support/agenttest.h"
#include "tests/support/cloudservice.h"
#include "tests/support/slowtlspeer.h"
#include "tests/support/testsupport.h"

using namespace std::chrono_literals;
using vorn::test::BinaryPath;
using vorn::test::ChildProcess;
using vorn::test::ClosedLoopbackTcpPort;
using vorn::test::CloudServiceCertificates;
using vorn::test::ExitCode;
using vorn::test::ReadFile;
using vorn::test::SlowTlsPeer;
using vorn::test::TempDir;
using vorn::test::UdpClient;
using vorn::test::WaitUntil;
using vorn::test::WriteFile;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' own start-up and exit work is not the agent's.
constexpr auto kStopBound = 3s;
#else
constexpr auto kStopBound = 1s;
#endif

const char* const kHostName = "vorn-fault-host";
const char* const kCloudHost = "cloud.vorn-fault.test";
const char* const kResolverAddress = "127.0.0.77";

bool CanUseNamespaces() {
    return geteuid() == 0 && access("/usr/bin/unshare", X_OK) == 0;
}

// A name server that reads every query and answers none, and remembers
// which names were asked for.
class SilentResolver {
public:
    SilentResolver() {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        inet_pton(AF_INET, kResolverAddress, &address.sin_addr);
        m_bound =
            m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~SilentResolver() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    SilentResolver(const SilentResolver&) = delete;
    SilentResolver& operator=(const SilentResolver&) = delete;

    bool Bound() const { return m_bound; }

    // True once a query whose name holds 'label' has arrived.
    bool Asked(const std::string& label) {
        char datagram[1500];
        for (ssize_t n; (n = recv(m_fd, datagram, sizeof datagram, 0)) > 0;) {
            m_seen.append(datagram, static_cast<size_t>(n));
        }
        return m_seen.find(label) != std::string::npos;
    }
    // Drops what was seen so far (queries already queued are read and dropped too).
    void Forget() {
        (void)Asked("");
        m_seen.clear();
    }

private:
    int m_fd = -1;
    bool m_bound = false;
    std::string m_seen;
};

// Another process holding the store's lock exclusively until released (or
// for 60 s at most), as a backup tool or a second agent might.
class LockHolder {
public:
    explicit LockHolder(const std::string& lockPath) {
        int locked[2], release[2];
        if (pipe(locked) != 0 || pipe(release) != 0) {
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            close(locked[0]);
            close(release[1]);
            alarm(60);
            const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            struct flock request {};
            request.l_type = F_WRLCK;
            request.l_whence = SEEK_SET;
            if (fd < 0 || fcntl(fd, F_OFD_SETLK, &request) != 0) {
                _exit(1);
            }
            const char byte = 1;
            if (write(locked[1], &byte, 1) != 1) {
                _exit(1);
            }
            char ignored;
            (void)!read(release[0], &ignored, 1);
            _exit(0);
        }
        close(locked[1]);
        close(release[0]);
        m_release = release[1];
        char byte;
        m_locked = m_pid > 0 && read(locked[0], &byte, 1) == 1;
        close(locked[0]);
    }
    ~LockHolder() {
        if (m_release >= 0) {
            close(m_release);
        }
        if (m_pid > 0) {
            int status = 0;
            if (!WaitUntil([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, 5s)) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
            }
        }
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    bool Locked() const { return m_locked; }

private:
    pid_t m_pid = -1;
    int m_release = -1;
    bool m_locked = false;
};

class ShutdownE2E : public vorn::test::AgentTest {
protected:
    void SetUp() override {
        ASSERT_FALSE(CloudServiceCertificates().path().empty());
        PointAt("https://127.0.0.1:" + std::to_string(ClosedLoopbackTcpPort()) + "/v1/identity");
    }

    void PointAt(const std::string& url) { WriteBusinessData("stop-bid", "stop-key", url); }

    // Starts the agent. With 'privateNames' it runs as host kName in its own
    // mount namespace, whose hosts file knows that name only when
    // 'hostKnown' and whose only name server is the silent one.
    std::unique_ptr<ChildProcess> StartAgent(bool privateNames = false, bool hostKnown = true) {
        ChildProcess::Options options = AgentOptions();
        options.stdinMode = ChildProcess::Stdin::DevNull;
        if (!privateNames) {
            return std::make_unique<ChildProcess>(options);
        }
        WriteFile(m_names.file("hosts"),
                  std::string("127.0.0.1 localhost\n") +
                      (hostKnown ? "127.0.0.1 " + std::string(kHostName) + "\n" : ""));
        WriteFile(m_names.file("resolv.conf"),
                  std::string("nameserver ") + kResolverAddress + "\n");
        WriteFile(m_names.file("nsswitch.conf"), "hosts: files dns\n");
        const std::string script = std::string("hostname ") + kHostName +
                                   " && mount --bind \"$1/hosts\" /etc/hosts"
                                   " && mount --bind \"$1/resolv.conf\" /etc/resolv.conf"
                                   " && mount --bind \"$1/nsswitch.conf\" /etc/nsswitch.conf"
                                   " && exec \"$2\" --config-path \"$3\"";
        options.args = {
            "/usr/bin/unshare", "-m",           "-u", "sh", "-c", script, "sh", m_names.path(),
            BinaryPath("vorn"), m_config.path()};
        return std::make_unique<ChildProcess>(options);
    }

    bool LogHas(const std::string& text) const { return Log().find(text) != std::string::npos; }

    // SIGTERM, then the exit: code 0 within the bound.
    void ExpectQuickCleanStop(ChildProcess& agent) {
        agent.Signal(SIGTERM);
        const auto signalled = std::chrono::steady_clock::now();
        const auto status = agent.Wait(30s);
        const auto took = std::chrono::steady_clock::now() - signalled;
        ASSERT_TRUE(status.has_value()) << "still running 30 s after SIGTERM\n" << Log();
        EXPECT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
        EXPECT_EQ(ExitCode(*status), 0) << agent.Stderr();
        EXPECT_LT(took, kStopBound) << Log();
        std::printf("stopped %lld ms after SIGTERM\n",
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    }

    TempDir m_names;
};

// The handlers are installed first thing: a SIGTERM as soon as the process
// catches it, long before the agent is up, still ends in a clean exit.
TEST_F(ShutdownE2E, DuringStartUp) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        auto agent = StartAgent();
        const std::string status = "/proc/" + std::to_string(agent->pid()) + "/status";
        // SigCgt holds SIGTERM (15) as bit 14 once the handler exists.
        ASSERT_TRUE(WaitUntil(
            [&] {
                std::ifstream in(status);
                std::string line;
                while (std::getline(in, line)) {
                    if (line.rfind("SigCgt:", 0) == 0) {
                        return (std::stoull(line.substr(7), nullptr, 16) >> 14 & 1) != 0;
                    }
                }
                return false;
            },
            10s));
        ExpectQuickCleanStop(*agent);
    }
}

// Registration with the crash server is given up to a second; a server that
// takes the request and never replies must not hold a termination that long.
TEST_F(ShutdownE2E, DuringStartUpWithACrashServerThatNeverReplies) {
    const int server = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(server, 0);
    sockaddr_un address{};
    const socklen_t length = vorn::MakeCrashServerAddress(vorn::kCrashServerName, &address);
    if (bind(server, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        close(server);
        GTEST_SKIP() << "the crash server's name is taken on this machine";
    }
    ASSERT_EQ(listen(server, 4), 0);
    auto agent = StartAgent();
    int connection = -1;
    EXPECT_TRUE(WaitUntil(
        [&] {
            if (connection < 0) {
                connection = accept4(server, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            }
            char request[512];
            return connection >= 0 && recv(connection, request, sizeof request, 0) > 0;
        },
        10s));
    ExpectQuickCleanStop(*agent);
    if (connection >= 0) {
        close(connection);
    }
    close(server);
}

TEST_F(ShutdownE2E, ExchangeWaitingOnANameServerThatNeverAnswers) {
    if (!CanUseNamespaces()) {
        GTEST_SKIP() << "needs root and unshare for a private resolv.conf";
    }
    SilentResolver resolver;
    ASSERT_TRUE(resolver.Bound());
    PointAt(std::string("https://") + kCloudHost + ":443/v1/identity");
    auto agent = StartAgent(true, true);
    ASSERT_TRUE(WaitUntil(
        [&] {
            return resolver.Asked(
                "\x05"
                "cloud");
        },
        20s))
        << Log();
    ExpectQuickCleanStop(*agent);
}

// The start-up collection looks up the machine's canonical name; the name
// server never answers. A refresh sent meanwhile is answered once the lookup
// has been given up (2 s), and a SIGTERM ends the lookup at once.
TEST_F(ShutdownE2E, CollectionWaitingOnANameServerThatNeverAnswers) {
    if (!CanUseNamespaces()) {
        GTEST_SKIP() << "needs root and unshare for a private resolv.conf";
    }
    SilentResolver resolver;
    ASSERT_TRUE(resolver.Bound());
    auto agent = StartAgent(true, false);
    ASSERT_TRUE(WaitUntil([&] { return resolver.Asked(kHostName); }, 20s)) << Log();
    UdpClient client;
    ASSERT_TRUE(client.SendTo(vorn::kIpcAgentPort, vorn::EncodeRefreshTokenReq()));
    // Closed cloud port: the exchange after the abandoned lookup fails at once.
    const auto answer = client.Receive(10s);
    uint16_t outcome = 0;
    ASSERT_TRUE(answer.has_value()) << Log();
    ASSERT_EQ(vorn::DecodeRefreshTokenRsp(*answer, outcome), vorn::VORN_OK);
    EXPECT_EQ(outcome, 2);
    EXPECT_TRUE(LogHas("abandoned after 2000 ms"));

    // Stopped in the middle of the next lookup.
    resolver.Forget();
    ASSERT_TRUE(client.SendTo(vorn::kIpcAgentPort, vorn::EncodeRefreshTokenReq()));
    ASSERT_TRUE(WaitUntil([&] { return resolver.Asked(kHostName); }, 5s));
    ExpectQuickCleanStop(*agent);
}

TEST_F(ShutdownE2E, PeerThatNeverAnswers) {
    for (const auto mode : {SlowTlsPeer::Mode::Silent, SlowTlsPeer::Mode::SilentAfterRequest}) {
        SCOPED_TRACE(mode == SlowTlsPeer::Mode::Silent ? "no handshake" : "no answer");
        SlowTlsPeer peer(mode);
        ASSERT_NE(peer.port(), 0);
        PointAt(peer.url());
        auto agent = StartAgent();
        ASSERT_TRUE(WaitUntil(
            [&] {
                return mode == SlowTlsPeer::Mode::Silent ? peer.Accepted() > 0
                                                         : peer.RequestsRead() > 0;
            },
            20s));
        ExpectQuickCleanStop(*agent);
    }
}

TEST_F(ShutdownE2E, BodyThatTricklesIn) {
    SlowTlsPeer peer(SlowTlsPeer::Mode::Trickle, 200ms);
    ASSERT_NE(peer.port(), 0);
    PointAt(peer.url());
    auto agent = StartAgent();
    ASSERT_TRUE(WaitUntil([&] { return peer.BodyBytesSent() >= 3; }, 20s));
    ExpectQuickCleanStop(*agent);
}

// While another process holds the store's lock the main thread waits for
// it (at most 10 s per operation), but the IPC receiver goes on (a malformed
// datagram is still logged), and SIGTERM ends the wait.
TEST_F(ShutdownE2E, StoreLockHeldByAnotherProcess) {
    LockHolder holder(m_data.file("vornstore.json.lck"));
    ASSERT_TRUE(holder.Locked());
    auto agent = StartAgent();
    ASSERT_TRUE(WaitUntil([&] { return LogHas("Registered refresh token handler"); }, 20s));
    UdpClient client;
    ASSERT_TRUE(client.SendTo(vorn::kIpcAgentPort, std::string("x")));
    EXPECT_TRUE(WaitUntil([&] { return LogHas("Invalid Message received from IPC"); }, 5s));
    ExpectQuickCleanStop(*agent);
}

// A refresh while the lock stays held is given up after one wait for the
// lock (10 s), not one per access of the store, and SIGTERM still ends the
// agent at once.
TEST_F(ShutdownE2E, RefreshWhileTheStoreLockIsHeldIsAnsweredWithinTwelveSeconds) {
    LockHolder holder(m_data.file("vornstore.json.lck"));
    ASSERT_TRUE(holder.Locked());
    auto agent = StartAgent();
    ASSERT_TRUE(WaitUntil([&] { return LogHas("Registered refresh token handler"); }, 20s));
    const auto asked = std::chrono::steady_clock::now();
    const vorn::RefreshResult result = vorn::RequestRefresh(vorn::kIpcAgentPort, 30s, geteuid());
    const auto took = std::chrono::steady_clock::now() - asked;
    ASSERT_EQ(result.kind, vorn::RefreshResult::Kind::Answered) << Log();
    EXPECT_EQ(result.outcome, vorn::IpcRefreshTokenRsp::eRefreshTokenCommError);
    EXPECT_LT(took, 12s) << Log();
    EXPECT_TRUE(LogHas("Store is locked by another process; no identity request is sent"));
    std::printf("refresh answered %lld ms after it was asked\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    ExpectQuickCleanStop(*agent);
}

}  // namespace
