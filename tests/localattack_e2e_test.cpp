// What an unprivileged local user can try against a running agent, each tried
// for real: the agent binary, real loopback sockets, and the attacker's tools
// run as "nobody", uid 65534 (the tests run as root; otherwise they skip). Each test is
// one attack and shows it defeated.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/ipcudpclient.h"
#include "tests/support/agenttest.h"
#include "tests/support/cloudservice.h"
#include "tests/support/testsupport.h"

namespace vorn::test {
namespace {

using namespace std::chrono_literals;

const unsigned short kAgentPort = 60110;
const std::string kRequest("\x01\x00", 2);
const std::string kCommErrorAnswer("\x02\x00\x02\x00", 4);

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// A descriptor closed on destruction.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    void reset() {
        if (m_fd >= 0) {
            close(m_fd);
        }
        m_fd = -1;
    }

private:
    int m_fd;
};

sockaddr_in Loopback(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// The socket as systemd binds it for vorn.socket: 127.0.0.1:60110, by root,
// with SO_REUSEADDR set (systemd sets it on every socket it listens on), or
// with 'option' in its place.
int BindAgentPortAsTheServiceManager(int option = SO_REUSEADDR) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(kAgentPort);
    const int on = 1;
    if (fd >= 0 && (setsockopt(fd, SOL_SOCKET, option, &on, sizeof(on)) != 0 ||
                    bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// User plus system CPU time of a process, in clock ticks.
long CpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 0; i < 13 && fields >> field; ++i) {
        if (i == 11) {
            utime = std::stol(field);
        } else if (i == 12) {
            stime = std::stol(field);
        }
    }
    return utime + stime;
}

// One VmRSS reading of a process, in kB.
long RssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// The kernel's count of datagrams dropped for 127.0.0.1:port (last column of
// /proc/net/udp).
long DropsFor(unsigned short port) {
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);
    char wanted[32];
    snprintf(wanted, sizeof(wanted), "0100007F:%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, field;
        fields >> slot >> local;
        if (local != wanted) {
            continue;
        }
        std::string last;
        while (fields >> field) {
            last = field;
        }
        return std::stol(last);
    }
    return -1;
}

class LocalAttackE2E : public AgentTest {
protected:
    LocalAttackE2E() : AgentTest(R"({"id":{"enable_verbose_logs":true}})") {
        // No business data: every request is answered at once with comm-error,
        // without any network.
        WriteBusinessData("", "", "");
    }

    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "the attacks run as the unprivileged user 'nobody', which needs root";
        }
    }

    void PointAt(const std::string& url) { WriteBusinessData("bid", "key", url); }

    // Starts the agent and waits until its refresh handler is registered.
    std::unique_ptr<ChildProcess> StartAgent(int listenFd = -1,
                                             const std::string& notifySocket = "") {
        ChildProcess::Options options = AgentOptions();
        if (!notifySocket.empty()) {
            options.env["NOTIFY_SOCKET"] = notifySocket;
        }
        options.listenFd = listenFd;
        return StartReady(options, 10s);
    }

    // A tool of the attacker, run as nobody. setpriv replaces itself with the
    // tool (runuser would stay its parent), so stopping the child stops the tool.
    static std::unique_ptr<ChildProcess> AsNobody(const std::vector<std::string>& args) {
        ChildProcess::Options options;
        options.args = {
            "/usr/bin/setpriv",   "--reuid=65534", "--regid=65534", "--clear-groups", "--",
            BinaryPath("udppeer")};
        options.args.insert(options.args.end(), args.begin(), args.end());
        options.stdinMode = ChildProcess::Stdin::DevNull;
        return std::make_unique<ChildProcess>(options);
    }

    static int ExitOf(ChildProcess& child, std::chrono::milliseconds timeout = 30s) {
        const auto status = child.Wait(timeout);
        return status ? ExitCode(*status) : -1;
    }

    struct CtlResult {
        int exitCode = -1;
        std::string out, err;
    };
    // vornctl as root, on the agent's local socket unless 'args' say --udp
    // or name another socket.
    CtlResult Ctl(const std::vector<std::string>& args) const {
        ChildProcess::Options options;
        options.args = {BinaryPath("vornctl")};
        options.args.insert(options.args.end(), args.begin(), args.end());
        if (std::find(args.begin(), args.end(), "--udp") == args.end() &&
            std::find(args.begin(), args.end(), "--socket") == args.end()) {
            options.args.insert(options.args.end(), {"--socket", SocketPath()});
        }
        options.stdinMode = ChildProcess::Stdin::DevNull;
        ChildProcess ctl(options);
        const int code = ExitOf(ctl);
        return {code, ctl.Stdout(), ctl.Stderr()};
    }
};

// Nobody binds the port while no agent holds it (at boot, or while the
// agent restarts) and answers "success" to everyone. vornctl asks the kernel
// who owns the socket and believes nothing from it.
TEST_F(LocalAttackE2E, AnswerFromASquatterIsNotBelieved) {
    auto squatter = AsNobody({"answer", std::to_string(kAgentPort), "02000100"});
    ASSERT_TRUE(WaitUntil([&] { return squatter->Stdout().find("bound") == 0; }, 10s))
        << squatter->Stderr();

    const CtlResult refused = Ctl({"refresh", "--udp", "--timeout", "5"});
    EXPECT_EQ(6, refused.exitCode) << refused.out << refused.err;
    EXPECT_EQ("", refused.out) << "a forged outcome was printed";
    EXPECT_NE(std::string::npos, refused.err.find("belongs to uid 65534, process udppeer (pid "))
        << refused.err;

    // An administrator who runs the agent as that user says so.
    const CtlResult trusted = Ctl({"refresh", "--udp", "--timeout", "5", "--agent-uid", "65534"});
    EXPECT_EQ(0, trusted.exitCode) << trusted.err;
    EXPECT_EQ("success\n", trusted.out);
}

// Nobody binds 127.0.0.2:60110, which does not conflict with the agent, watches
// /proc/net/udp for a client connected to 127.0.0.1:60110 and sends it
// "success" with the source address 127.0.0.1 while the real exchange hangs.
// On the datagram port the forgery is believed: nothing a client can check
// about a datagram proves who sent it. On the agent's Unix socket, where
// vornctl asks by default, the kernel names both ends of the connection and
// only the agent's real outcome arrives.
TEST_F(LocalAttackE2E, ForgedSourceAnswerReachesOnlyTheDatagramPath) {
    Fd stalled(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof(address);
    ASSERT_EQ(0, bind(stalled.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    ASSERT_EQ(0, listen(stalled.get(), 64));
    ASSERT_EQ(0, getsockname(stalled.get(), reinterpret_cast<sockaddr*>(&address), &length));
    PointAt("https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/v1/identity");
    auto agent = StartAgent();

    auto spoofer = AsNobody({"spoof", std::to_string(kAgentPort), "02000100", "20"});
    ASSERT_TRUE(WaitUntil([&] { return spoofer->Stdout().find("bound") == 0; }, 10s))
        << spoofer->Stderr();

    // The datagram path, kept for compatibility: the forgery gets through.
    // (This also shows the forger works, so the check below means something.)
    const CtlResult forged = Ctl({"refresh", "--udp", "--timeout", "5"});
    EXPECT_EQ("success\n", forged.out)
        << "the forger did not reach the datagram client " << forged.err;

    // The default path: the same forger, and only the real outcome, once the
    // hanging exchange fails.
    ChildProcess::Options options;
    options.args = {BinaryPath("vornctl"), "refresh", "--timeout", "30", "--socket", SocketPath()};
    options.stdinMode = ChildProcess::Stdin::DevNull;
    ChildProcess ctl(options);
    std::this_thread::sleep_for(1500ms);
    stalled.reset();
    EXPECT_EQ(2, ExitOf(ctl, 40s)) << ctl.Stdout() << ctl.Stderr();
    EXPECT_EQ("comm-error\n", ctl.Stdout());
    spoofer->Signal(SIGKILL);
    StopAgent(agent);
}

// Nobody owns a directory and plants a socket there that answers "success".
// vornctl asks the kernel who listens on it before it sends and refuses,
// unless told that the agent runs as that user.
TEST_F(LocalAttackE2E, SocketPlantedByAnotherUserIsNotAsked) {
    TempDir planted;
    ASSERT_EQ(0, chown(planted.path().c_str(), 65534, 65534));
    const std::string path = planted.file("vorn.sock");
    auto squatter = AsNobody({"unixanswer", path, "02000100"});
    ASSERT_TRUE(WaitUntil([&] { return squatter->Stdout().find("bound") == 0; }, 10s))
        << squatter->Stderr();

    const CtlResult refused = Ctl({"refresh", "--timeout", "5", "--socket", path});
    EXPECT_EQ(6, refused.exitCode) << refused.out << refused.err;
    EXPECT_EQ("", refused.out) << "a forged outcome was printed";
    EXPECT_NE(std::string::npos, refused.err.find("is served by uid 65534")) << refused.err;

    const CtlResult trusted =
        Ctl({"refresh", "--timeout", "5", "--socket", path, "--agent-uid", "65534"});
    EXPECT_EQ(0, trusted.exitCode) << trusted.err;
    squatter->Signal(SIGKILL);

    // Nor does the agent serve from a directory another user controls.
    ChildProcess::Options options = AgentOptions();
    options.args.back() = path + ".agent";
    ChildProcess agent(options);
    const auto status = agent.Wait(20s);
    ASSERT_TRUE(status.has_value()) << "the agent served from a foreign directory";
    EXPECT_EQ(2, ExitCode(*status));
    EXPECT_NE(std::string::npos, Log().find("must be a directory of root or of the agent's user"))
        << Log();
}

// Under systemd the port is bound by root from boot and handed to the agent:
// the agent serves on it, tells the service manager it is ready and how the
// identity stands, and while it is down (crashed, waiting to be restarted)
// nobody still cannot take the port.
TEST_F(LocalAttackE2E, PortHeldForTheAgentAcrossARestart) {
    Fd port(BindAgentPortAsTheServiceManager());
    ASSERT_GE(port.get(), 0) << "port 60110 is in use";

    Fd notify(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un notifyAddress{};
    notifyAddress.sun_family = AF_UNIX;
    const std::string notifyPath = m_cwd.file("notify");
    ASSERT_LT(notifyPath.size(), sizeof(notifyAddress.sun_path));
    notifyPath.copy(notifyAddress.sun_path, notifyPath.size());
    ASSERT_EQ(
        0, bind(notify.get(), reinterpret_cast<sockaddr*>(&notifyAddress), sizeof(notifyAddress)));
    std::string notified;
    auto readNotifications = [&] {
        pollfd entry{notify.get(), POLLIN, 0};
        while (poll(&entry, 1, 0) == 1) {
            char buffer[4096];
            const ssize_t n = recv(notify.get(), buffer, sizeof(buffer), 0);
            if (n <= 0) {
                break;
            }
            notified.append(buffer, static_cast<size_t>(n)).push_back('|');
        }
        return notified;
    };

    auto agent = StartAgent(port.get(), notifyPath);
    EXPECT_NE(std::string::npos,
              Log().find("Using the socket passed by the service manager for port 60110"));
    EXPECT_TRUE(WaitUntil(
        [&] {
            return readNotifications().find(
                       "STATUS=no identity: configuration missing: " + m_config.file("bs.json") +
                       " has an empty business_id") != std::string::npos;
        },
        10s))
        << notified;
    EXPECT_EQ(0u, notified.find("READY=1|")) << notified;
    const CtlResult served = Ctl({"refresh", "--udp", "--timeout", "5"});
    EXPECT_EQ(2, served.exitCode) << served.err;
    EXPECT_EQ("comm-error\n", served.out);

    agent->Signal(SIGKILL);
    ASSERT_TRUE(agent->Wait(10s).has_value());
    agent.reset();
    auto squatter = AsNobody({"bind", std::to_string(kAgentPort)});
    EXPECT_EQ(3, ExitOf(*squatter))
        << "the port was free while the agent was down: " << squatter->Stderr();

    agent = StartAgent(port.get());
    const CtlResult again = Ctl({"refresh", "--udp", "--timeout", "5"});
    EXPECT_EQ(2, again.exitCode) << again.err;
    StopAgent(agent);
}

// systemd sets SO_REUSEADDR on the port it passes; a user who sets it too could
// bind 127.0.0.1:60110 beside it and take clients' requests. The agent clears
// it before serving, and refuses a socket that allows SO_REUSEPORT.
TEST_F(LocalAttackE2E, PassedPortCannotBeBoundBeside) {
    {
        Fd port(BindAgentPortAsTheServiceManager());
        ASSERT_GE(port.get(), 0) << "port 60110 is in use";
        auto agent = StartAgent(port.get());
        auto squatter = AsNobody({"bind", std::to_string(kAgentPort), "reuse"});
        EXPECT_EQ(3, ExitOf(*squatter)) << "nobody bound the agent's port beside it";
        const CtlResult served = Ctl({"refresh", "--udp", "--timeout", "5"});
        EXPECT_EQ(2, served.exitCode) << served.err;
        StopAgent(agent);
    }

    Fd shared(BindAgentPortAsTheServiceManager(SO_REUSEPORT));
    ASSERT_GE(shared.get(), 0) << "port 60110 is in use";
    ChildProcess::Options options = AgentOptions();
    options.listenFd = shared.get();
    ChildProcess agent(options);
    const auto status = agent.Wait(20s);
    ASSERT_TRUE(status.has_value()) << "the agent served a port others may share";
    EXPECT_EQ(2, ExitCode(*status));
    EXPECT_NE(std::string::npos, Log().find("allows SO_REUSEPORT; it is not used")) << Log();
}

// Nobody binds 127.0.0.2:P, where P is another user's waiting client on
// 127.0.0.1:P, and asks for a refresh: the answer would land in the victim's
// socket. The agent serves 127.0.0.1 only, and answers where a request came
// from.
TEST_F(LocalAttackE2E, ReplyCannotBeMisdirected) {
    auto agent = StartAgent();
    const UdpClient victim;
    const size_t logged = Log().size();
    auto forger = AsNobody(
        {"send", "127.0.0.2", std::to_string(victim.port()), std::to_string(kAgentPort), "0100"});
    EXPECT_EQ(1, ExitOf(*forger)) << "the forger got an answer " << forger->Stderr();
    EXPECT_FALSE(victim.Receive(500ms)) << "the victim's socket received a datagram";
    EXPECT_NE(std::string::npos,
              Log().find("Ignored a datagram from 127.0.0.2 port " + std::to_string(victim.port()) +
                             ": only 127.0.0.1 is served",
                         logged))
        << Log().substr(logged);

    // The victim's own request is answered as always.
    ASSERT_TRUE(victim.SendTo(kAgentPort, kRequest));
    EXPECT_EQ(kCommErrorAnswer, victim.Receive(5s).value_or("<none>"));
    StopAgent(agent);
}

// Nobody floods refresh requests from one socket while the exchange hangs on
// a peer that never answers: each port is kept once, so memory stays flat,
// and the one socket gets at most eight answers per refresh.
TEST_F(LocalAttackE2E, WaitingListFloodDuringAStalledExchangeKeepsMemoryFlat) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers hold freed memory back (quarantine, shadow and history
    // pages), so the agent's resident size says nothing about its own
    // bookkeeping there; the plain build measures it.
    GTEST_SKIP() << "resident size is the sanitizer's, not the agent's, under a sanitizer";
#endif
    // The identity service: a listener that never accepts, so the agent's
    // TLS handshake waits (until its transport gives up, or this closes).
    Fd stalled(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof(address);
    ASSERT_EQ(0, bind(stalled.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    ASSERT_EQ(0, listen(stalled.get(), 64));
    ASSERT_EQ(0, getsockname(stalled.get(), reinterpret_cast<sockaddr*>(&address), &length));
    PointAt("https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/v1/identity");

    auto agent = StartAgent();
    // Warm-up from another socket, so the baseline includes whatever the
    // receive path allocates once.
    {
        const UdpClient warmUp;
        for (int i = 0; i < 2000; ++i) {
            (void)warmUp.SendTo(kAgentPort, kRequest);
        }
        std::this_thread::sleep_for(200ms);
    }
    const long before = RssKb(agent->pid());
    const long dropsBefore = DropsFor(kAgentPort);

    constexpr long kRequests = 200000;
    auto flood =
        AsNobody({"flood", std::to_string(kAgentPort), std::to_string(kRequests), "0100", "20"});
    ASSERT_TRUE(WaitUntil([&] { return flood->Stdout().find("sent ") == 0; }, 120s))
        << flood->Stderr();
    // Let the receiver drain its queue before the reading.
    std::this_thread::sleep_for(200ms);
    const long after = RssKb(agent->pid());
    const long dropped = DropsFor(kAgentPort) - dropsBefore;
    std::cout << "RSS " << before << " kB before, " << after << " kB after " << kRequests
              << " requests from one socket (" << dropped << " dropped by the kernel)\n";
    EXPECT_LT(after - before, 2048) << "RSS grew from " << before << " to " << after << " kB";
    EXPECT_LT(dropped, kRequests / 2) << "the flood did not reach the agent";

    // The peer goes away: the exchanges fail and the waiting socket is
    // answered, a bounded number of times.
    stalled.reset();
    ASSERT_EQ(0, ExitOf(*flood, 40s)) << flood->Stderr();
    const std::string out = flood->Stdout();
    const long answers = std::stol(out.substr(out.find("answers ") + 8));
    // The warm-up already started one refresh, which the flood joined.
    const size_t refreshes = Count(Log(), "Refresh token callback received");
    EXPECT_GE(answers, 1) << out;
    EXPECT_LE(answers, static_cast<long>(8 * refreshes)) << out << refreshes << " refreshes";
    StopAgent(agent);
}

// Nobody asks from 40,000 distinct ports while the exchange hangs: every
// port waits for the answer, and the agent's memory stays flat while they
// wait and while the answers leave.
TEST_F(LocalAttackE2E, FortyThousandWaitingPortsKeepMemoryFlat) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "resident size is the sanitizer's, not the agent's, under a sanitizer";
#endif
    Fd stalled(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof(address);
    ASSERT_EQ(0, bind(stalled.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    ASSERT_EQ(0, listen(stalled.get(), 64));
    ASSERT_EQ(0, getsockname(stalled.get(), reinterpret_cast<sockaddr*>(&address), &length));
    PointAt("https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/v1/identity");
    auto agent = StartAgent();
    {
        // Warm-up: the receive and answer paths allocate what they keep.
        auto warmUp = AsNobody({"ports", "2000", "2000", std::to_string(kAgentPort)});
        ASSERT_EQ(0, ExitOf(*warmUp, 60s)) << warmUp->Stderr();
    }
    std::this_thread::sleep_for(300ms);
    const long before = RssKb(agent->pid());
    auto ports = AsNobody({"ports", "10000", "40000", std::to_string(kAgentPort)});
    ASSERT_EQ(0, ExitOf(*ports, 120s)) << ports->Stderr();
    std::this_thread::sleep_for(300ms);
    const long waiting = RssKb(agent->pid());
    stalled.reset();  // the exchange fails: every waiting port is answered
    ASSERT_TRUE(
        WaitUntil([&] { return Log().find("Sent RspMsg to Client[") != std::string::npos; }, 60s));
    std::this_thread::sleep_for(1s);
    const long answered = RssKb(agent->pid());
    std::string sent = ports->Stdout();
    sent.erase(sent.find_last_not_of('\n') + 1);
    std::cout << "RSS " << before << " kB before, " << waiting << " kB with " << sent
              << " waiting ports, " << answered << " kB after the answers\n";
    EXPECT_LT(waiting - before, 2048);
    EXPECT_LT(answered - before, 2048);
    StopAgent(agent);
}

// Nobody asks for one refresh after another, each as soon as the last was
// answered: the agent spaces the exchanges its local clients cause by
// min_refresh_interval_seconds, so the cloud sees at most one per interval
// (plus the one at start), and every request is still answered.
TEST_F(LocalAttackE2E, HammeringClientDrivesAtMostOneExchangePerInterval) {
    CloudService cloud;
    ASSERT_NE(cloud.port(), 0);
    PointAt(cloud.url());
    // A short interval, so a few of them fit in the test.
    WriteFile(m_config.file("id.json"),
              R"({"id":{"enable_verbose_logs":true,"min_refresh_interval_seconds":1}})");
    auto agent = StartAgent();
    ASSERT_TRUE(WaitUntil([&] { return cloud.IdentityRequests() == 1; }, 10s));
    const auto started = std::chrono::steady_clock::now();
    auto hammer = AsNobody({"hammer", std::to_string(kAgentPort), "4"});
    ASSERT_EQ(0, ExitOf(*hammer, 30s)) << hammer->Stderr();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::string out = hammer->Stdout();
    const long answers = std::stol(out.substr(out.find("answers ") + 8));
    const int exchanges = cloud.IdentityRequests() - 1;
    std::cout << answers << " refreshes answered in " << seconds << " s, " << exchanges
              << " exchanges with the cloud\n";
    EXPECT_GE(answers, 2) << out;
    // One interval may have begun before the hammering did.
    EXPECT_LE(exchanges, static_cast<int>(seconds) + 1);
    StopAgent(agent);
}

// Nobody asks a rate-limited agent again the moment each answer arrives, for
// eight seconds. Every answer comes from the state the agent already knows
// (no collection, no store read) and every line it causes is limited, so the
// start-up lines stay in the log.
TEST_F(LocalAttackE2E, HammeringARateLimitedAgentLeavesTheStartUpLines) {
    const long long retryAt = static_cast<long long>(time(nullptr)) + 3600;
    WriteFile(StorePath(), R"({"retry-after":")" + std::to_string(retryAt) + R"("})");
    auto agent = StartAgent();
    const long ticksBefore = CpuTicks(agent->pid());
    auto hammer = AsNobody({"hammer", std::to_string(kAgentPort), "8"});
    ASSERT_EQ(0, ExitOf(*hammer, 30s)) << hammer->Stderr();
    const long ticks = CpuTicks(agent->pid()) - ticksBefore;
    const std::string out = hammer->Stdout();
    const long answers = std::stol(out.substr(out.find("answers ") + 8));
    const std::string log = Log();
    std::cout << answers << " rate-limited answers in 8 s, agent CPU "
              << (ticks * 1e6 / sysconf(_SC_CLK_TCK)) / std::max(answers, 1L)
              << " us per answer; log " << log.size() << " bytes\n";
    EXPECT_GT(answers, 100) << out;
    EXPECT_NE(std::string::npos, log.find("S: debug :: version: ")) << "start-up lines lost";
    EXPECT_NE(std::string::npos, log.find("similar lines suppressed"));
    StopAgent(agent);
}

// Nobody sends a million one-byte datagrams. Every line they cause is limited
// per call site, so the log stays small and the start-up lines stay in it.
TEST_F(LocalAttackE2E, MillionDatagramsLeaveTheStartUpLines) {
    auto agent = StartAgent();
    const auto started = std::chrono::steady_clock::now();
    const long dropsBefore = DropsFor(kAgentPort);
    constexpr long kDatagrams = 1000000;
    auto flood =
        AsNobody({"flood", std::to_string(kAgentPort), std::to_string(kDatagrams), "01", "0"});
    ASSERT_EQ(0, ExitOf(*flood, 180s)) << flood->Stderr();
    EXPECT_NE(std::string::npos, flood->Stdout().find("sent " + std::to_string(kDatagrams)));
    const long seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started)
            .count() +
        1;
    const long dropped = DropsFor(kAgentPort) - dropsBefore;

    // Still serving.
    const UdpClient client;
    ASSERT_TRUE(client.SendTo(kAgentPort, kRequest));
    EXPECT_EQ(kCommErrorAnswer, client.Receive(10s).value_or("<none>"));

    const std::string log = Log();
    std::cout << kDatagrams << " datagrams in about " << seconds << " s (" << dropped
              << " dropped by the kernel); log " << log.size() << " bytes\n";
    EXPECT_LT(dropped, kDatagrams / 2) << "the flood did not reach the agent";
    EXPECT_FALSE(FileExists(m_data.file("vornagent.log.1"))) << "the log rotated";
    EXPECT_NE(std::string::npos, log.find("S: debug :: version: "));
    EXPECT_NE(std::string::npos, log.find("similar lines suppressed"));
    // At most one allowance per second per call site.
    EXPECT_LE(Count(log, "Failed to get the msg type"), static_cast<size_t>(20 * (seconds + 1)));
    EXPECT_LE(Count(log, "Invalid Message received from IPC"),
              static_cast<size_t>(20 * (seconds + 1)));
    StopAgent(agent);
}

}  // namespace
}  // namespace vorn::test
