// The agent's port as a service manager hands it over: one socket, bound once
// by the manager, passed to every agent it starts, and kept by the manager
// while no agent runs. This stand-in does what systemd does with vorn.socket
// and, unlike a one-shot activation helper, hands the same socket to one
// agent after another.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>

#include "tests/ipcudpclient.h"
#include "tests/support/agenttest.h"
#include "tests/support/testsupport.h"

namespace vorn::test {
namespace {

using namespace std::chrono_literals;

const unsigned short kAgentPort = 60110;
const std::string kRequest("\x01\x00", 2);
const std::string kFailedAnswer("\x02\x00\x00\x00", 4);
const std::string kCommErrorAnswer("\x02\x00\x02\x00", 4);

// The service manager's socket: 127.0.0.1:60110 with SO_REUSEADDR, as
// systemd binds ListenDatagram sockets.
class ManagerSocket {
public:
    ManagerSocket() {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(kAgentPort);
        if (m_fd >= 0 &&
            (setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
             bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~ManagerSocket() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    ManagerSocket(const ManagerSocket&) = delete;
    ManagerSocket& operator=(const ManagerSocket&) = delete;

    int fd() const { return m_fd; }

    // What the manager's own poll on the socket would see now; systemd fails
    // the socket unit on a hang-up.
    short Events() const {
        pollfd entry{m_fd, POLLIN | POLLOUT, 0};
        return poll(&entry, 1, 0) == 1 ? entry.revents : 0;
    }

    bool ReuseAddress() const {
        int value = 0;
        socklen_t length = sizeof(value);
        return getsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &value, &length) == 0 && value != 0;
    }

private:
    int m_fd = -1;
};

class SocketActivationE2E : public AgentTest {
protected:
    SocketActivationE2E() {
        // No business data: every refresh is answered at once with
        // comm-error, without any network.
        WriteBusinessData("", "", "");
    }

    std::unique_ptr<ChildProcess> StartWith(const ManagerSocket& socket) {
        ChildProcess::Options options = AgentOptions();
        options.listenFd = socket.fd();
        options.stdinMode = ChildProcess::Stdin::DevNull;
        return StartReady(options, 20s);
    }

    // systemctl stop: SIGTERM, and a clean exit.
    static void Stop(std::unique_ptr<ChildProcess>& agent) {
        agent->Signal(SIGTERM);
        const auto status = agent->Wait(20s);
        ASSERT_TRUE(status.has_value()) << "the agent did not stop";
        EXPECT_EQ(0, ExitCode(*status)) << agent->Stderr();
        agent.reset();
    }
};

// Stop and start again, several times: every agent answers on the one socket,
// and the manager's socket is never hung up by an agent's stop.
TEST_F(SocketActivationE2E, OneSocketServesEveryAgentInTurn) {
    ManagerSocket socket;
    ASSERT_GE(socket.fd(), 0) << "port 60110 is in use";

    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE("agent " + std::to_string(round));
        auto agent = StartWith(socket);
        // The agent does not leave address reuse on a socket others could
        // then share.
        EXPECT_FALSE(socket.ReuseAddress());
        UdpClient client;
        ASSERT_TRUE(client.SendTo(kAgentPort, kRequest));
        EXPECT_EQ(kCommErrorAnswer, client.Receive(10s).value_or("no answer"));
        Stop(agent);

        EXPECT_EQ(0, socket.Events() & (POLLHUP | POLLERR))
            << "the stopped agent shut the manager's socket down";
        // The manager's socket still sends (a shut-down one fails with EPIPE).
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        peer.sin_port = htons(client.port());
        EXPECT_EQ(1, sendto(socket.fd(), "x", 1, 0, reinterpret_cast<const sockaddr*>(&peer),
                            sizeof(peer)))
            << strerror(errno);
    }
}

// The datagram that made the manager start the agent waits on the socket
// before the agent runs: it is answered with the outcome of the exchange it
// started, not with "failed" for want of a handler.
TEST_F(SocketActivationE2E, TheDatagramThatStartsTheAgentIsServed) {
    ManagerSocket socket;
    ASSERT_GE(socket.fd(), 0) << "port 60110 is in use";
    UdpClient client;
    ASSERT_TRUE(client.SendTo(kAgentPort, kRequest));

    auto agent = StartWith(socket);
    const auto answer = client.Receive(10s);
    ASSERT_TRUE(answer.has_value()) << Log();
    EXPECT_EQ(kCommErrorAnswer, *answer);
    EXPECT_EQ(std::string::npos, Log().find("No Refresh Token Handler Registered by Agent"));
    // Written before the answer was sent.
    const std::string journal = agent->Stderr();
    Stop(agent);
    // One attempt, answered to the waiting client; its request was spent
    // with it, so no second attempt followed that nobody waited for.
    const std::string log = Log();
    size_t attempts = 0;
    for (size_t at = log.find("Collecting attributes.."); at != std::string::npos;
         at = log.find("Collecting attributes..", at + 1)) {
        ++attempts;
    }
    EXPECT_EQ(1u, attempts) << log;
    // The journal (the agent's standard error) says what to fix, once.
    const std::string line = "no identity: configuration missing: " + m_config.file("bs.json") +
                             " has an empty business_id\n";
    const size_t at = journal.find(line);
    EXPECT_NE(std::string::npos, at) << journal;
    EXPECT_EQ(std::string::npos, journal.find("no identity", at + 1)) << journal;
}

}  // namespace
}  // namespace vorn::test
