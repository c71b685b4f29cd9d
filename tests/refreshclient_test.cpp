// The refresh client believes an answer only from a socket the kernel says
// belongs to root or to the agent's uid. The impostor here is a child process
// that gives up root for "nobody" (uid 65534) before it binds its port.
#include "common/refreshclient.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common/linux/socketowner.h"
#include "tests/ipcudpclient.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;

constexpr uid_t kNobody = 65534;

// A child that answers the first datagram on its socket with 02 00 01 00
// ("success"), bound to 127.0.0.1 on a port the kernel picks, as 'uid'.
class Impostor {
public:
    explicit Impostor(uid_t uid) {
        int ports[2];
        if (pipe(ports) != 0) {
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            // Only system calls from here on: the parent has other threads.
            close(ports[0]);
            if (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0) {
                _exit(1);
            }
            const int fd = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof(address);
            if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
                getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
                _exit(2);
            }
            const uint16_t port = ntohs(address.sin_port);
            if (write(ports[1], &port, sizeof(port)) != static_cast<ssize_t>(sizeof(port))) {
                _exit(3);
            }
            close(ports[1]);
            char request[16];
            sockaddr_in client{};
            socklen_t clientLength = sizeof(client);
            if (recvfrom(fd, request, sizeof(request), 0, reinterpret_cast<sockaddr*>(&client),
                         &clientLength) < 0) {
                _exit(4);
            }
            const unsigned char success[4] = {2, 0, 1, 0};
            (void)sendto(fd, success, sizeof(success), 0, reinterpret_cast<sockaddr*>(&client),
                         clientLength);
            // Keep the socket until the parent has looked at it.
            pause();
            _exit(0);
        }
        close(ports[1]);
        if (m_pid > 0 && read(ports[0], &m_port, sizeof(m_port)) != sizeof(m_port)) {
            m_port = 0;
        }
        close(ports[0]);
    }
    ~Impostor() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    Impostor(const Impostor&) = delete;
    Impostor& operator=(const Impostor&) = delete;

    uint16_t port() const { return m_port; }
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    uint16_t m_port = 0;
};

TEST(RefreshClientTest, AnswerFromAnotherUsersSocketIsNotBelieved) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the impostor as another user";
    }
    const struct {
        const char* name;
        uid_t agentUid;
        RefreshResult::Kind kind;
    } cases[] = {
        {"owner is neither root nor the agent's uid", 0, RefreshResult::Kind::Untrusted},
        {"owner is the uid the agent is said to run as", kNobody, RefreshResult::Kind::Answered},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Impostor impostor(kNobody);
        ASSERT_NE(0, impostor.port());
        const RefreshResult result = RequestRefresh(impostor.port(), 5s, c.agentUid);
        EXPECT_EQ(c.kind, result.kind) << result.error;
        if (c.kind == RefreshResult::Kind::Untrusted) {
            EXPECT_EQ(kNobody, result.ownerUid);
            // Named by uid and by process.
            EXPECT_NE(std::string::npos, result.error.find("belongs to uid 65534, process "))
                << result.error;
            EXPECT_NE(std::string::npos,
                      result.error.find("(pid " + std::to_string(impostor.pid()) + ")"))
                << result.error;
            EXPECT_EQ(0, result.outcome);
        } else {
            EXPECT_EQ(1, result.outcome);
        }
    }
}

// The kernel's view of which sockets receive for 127.0.0.1:P: the one bound
// there and a wildcard one, not one on another loopback address.
TEST(SocketOwnerTest, FindsTheSocketsThatReceiveForTheLoopbackPort) {
    test::UdpClient bound;
    std::vector<UdpSocketOwner> owners;
    std::string error;
    ASSERT_TRUE(FindUdpSocketOwners(bound.port(), owners, error)) << error;
    ASSERT_EQ(1u, owners.size());
    EXPECT_EQ(geteuid(), owners[0].uid);
    EXPECT_NE(std::string::npos,
              DescribeSocketHolder(owners[0].inode).find("(pid " + std::to_string(getpid()) + ")"));

    test::UdpClient elsewhere(0x7F000002, bound.port());
    ASSERT_TRUE(FindUdpSocketOwners(bound.port(), owners, error)) << error;
    EXPECT_EQ(1u, owners.size()) << "a socket on 127.0.0.2 does not receive for 127.0.0.1";

    uint16_t released = 0;
    {
        test::UdpClient wildcard(INADDR_ANY, 0);
        released = wildcard.port();
        ASSERT_TRUE(FindUdpSocketOwners(released, owners, error)) << error;
        EXPECT_EQ(1u, owners.size());
    }
    // A port nobody holds any more.
    ASSERT_TRUE(FindUdpSocketOwners(released, owners, error)) << error;
    EXPECT_TRUE(owners.empty());
}

}  // namespace
}  // namespace vorn
