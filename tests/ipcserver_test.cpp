#include "common/ipcserver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "tests/ipcudpclient.h"
#include "tests/support/testsupport.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using test::UdpClient;

// Every datagram the endpoint delivers, in order.
class Inbox {
public:
    void Push(const std::string& message, unsigned short port) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_items.emplace_back(message, port);
        m_cv.notify_all();
    }
    std::optional<std::pair<std::string, unsigned short>> Pop(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cv.wait_for(lock, timeout, [this] { return !m_items.empty(); })) {
            return std::nullopt;
        }
        auto item = m_items.front();
        m_items.pop_front();
        return item;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::pair<std::string, unsigned short>> m_items;
};

class IpcServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_server = std::make_unique<CIPCServer>(
            0, [this](const std::string& message, unsigned short port) {
                m_inbox.Push(message, port);
            });
        ASSERT_NE(0, m_server->GetLocalPort());
    }

    Inbox m_inbox;
    std::unique_ptr<CIPCServer> m_server;
};

TEST_F(IpcServerTest, DeliversTheSendersPortAndRepliesToIt) {
    UdpClient client;
    ASSERT_TRUE(client.SendTo(m_server->GetLocalPort(), std::string("\x01\x00", 2)));
    const auto received = m_inbox.Pop(2s);
    ASSERT_TRUE(received);
    EXPECT_EQ(std::string("\x01\x00", 2), received->first);
    EXPECT_EQ(client.port(), received->second);

    const size_t mark = test::LogMark();
    const std::string reply("\x02\x00\x01\x00", 4);
    EXPECT_EQ(VORN_OK, m_server->SendMsgAsync(reply, received->second));
    EXPECT_EQ(reply, client.Receive(2s).value_or("<none>"));
    const std::string log = test::LogSince(mark);
    EXPECT_NE(std::string::npos, log.find("Sending message of length 4."));
    EXPECT_NE(std::string::npos, log.find("Successfully sent message to client at port " +
                                          std::to_string(client.port())));
}

// Any address of 127/8 reaches a socket bound to 127.0.0.1. A request from
// 127.0.0.2:P would be answered at 127.0.0.1:P, the port of whoever owns it
// there, so it is dropped, and a real client on 127.0.0.1:P is unaffected.
TEST_F(IpcServerTest, DatagramsFromOtherLoopbackAddressesAreDropped) {
    UdpClient victim;
    UdpClient forger(0x7F000002, victim.port());
    const size_t mark = test::LogMark();
    ASSERT_TRUE(forger.SendTo(m_server->GetLocalPort(), std::string("\x01\x00", 2)));
    ASSERT_TRUE(victim.SendTo(m_server->GetLocalPort(), std::string("\x01\x00", 2)));
    const auto received = m_inbox.Pop(2s);
    ASSERT_TRUE(received);
    EXPECT_EQ(victim.port(), received->second);
    EXPECT_FALSE(m_inbox.Pop(100ms)) << "the forged request was delivered";
    EXPECT_NE(std::string::npos, test::LogSince(mark).find(
                                     "Ignored a datagram from 127.0.0.2 port " +
                                     std::to_string(victim.port()) + ": only 127.0.0.1 is served"))
        << test::LogSince(mark);
}

TEST(IpcServerCallbackTest, RepliesFromInsideTheCallback) {
    // Published to the receiver thread through an atomic: the endpoint runs
    // before the constructor has returned the pointer.
    std::atomic<CIPCServer*> server{nullptr};
    CIPCServer endpoint(0, [&server](const std::string& message, unsigned short port) {
        CIPCServer* self = server.load();
        ASSERT_NE(nullptr, self);
        EXPECT_EQ(VORN_OK, self->SendMsgAsync("echo:" + message, port));
    });
    server.store(&endpoint);
    UdpClient client;
    ASSERT_TRUE(client.SendTo(endpoint.GetLocalPort(), "ping"));
    EXPECT_EQ("echo:ping", client.Receive(2s).value_or("<none>"));
}

// Empty and oversized datagrams never reach the callback, and the next
// datagram still does. The kernel truncates a datagram longer than the 4096-byte
// buffer; it must not pass for its first 4096 bytes (here a valid request).
TEST_F(IpcServerTest, DatagramSizes) {
    struct Case {
        size_t size;
        bool delivered;
        const char* log;
    };
    const Case cases[] = {
        {0, false, nullptr},
        {1, true, "Received message of length 1."},
        {3, true, "Received message of length 3."},
        {4096, true, "Received message of length 4096."},
        {4097, false, "Received message of length 4097 exceeds 4096 bytes, ignored."},
        {65507, false, "Received message of length 65507 exceeds 4096 bytes, ignored."},
    };
    UdpClient client;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        std::string datagram(c.size, 'x');
        if (c.size >= 2) {
            datagram[0] = '\x01';
            datagram[1] = '\x00';
        }
        const size_t mark = test::LogMark();
        ASSERT_TRUE(client.SendTo(m_server->GetLocalPort(), datagram));
        ASSERT_TRUE(client.SendTo(m_server->GetLocalPort(), "probe"));
        if (c.delivered) {
            EXPECT_EQ(datagram, m_inbox.Pop(2s).value_or(std::make_pair("<none>", 0)).first);
        }
        EXPECT_EQ("probe", m_inbox.Pop(2s).value_or(std::make_pair("<none>", 0)).first);
        if (c.log != nullptr) {
            EXPECT_NE(std::string::npos, test::LogSince(mark).find(c.log));
        }
    }
}

TEST_F(IpcServerTest, SendToAPortWithoutListenerIsQueuedAndReceivingGoesOn) {
    unsigned short deadPort = 0;
    {
        UdpClient gone;
        deadPort = gone.port();
    }
    EXPECT_EQ(VORN_OK, m_server->SendMsgAsync(std::string("\x02\x00\x00\x00", 4), deadPort));
    UdpClient client;
    ASSERT_TRUE(client.SendTo(m_server->GetLocalPort(), "after"));
    EXPECT_EQ("after", m_inbox.Pop(2s).value_or(std::make_pair("<none>", 0)).first);
}

TEST_F(IpcServerTest, SecondEndpointOnABoundPortThrows) {
    const size_t mark = test::LogMark();
    EXPECT_THROW(CIPCServer(m_server->GetLocalPort(), [](const std::string&, unsigned short) {}),
                 std::runtime_error);
    const std::string log = test::LogSince(mark);
    EXPECT_NE(std::string::npos, log.find("Failed to open/bind to a port. Error: "));
    EXPECT_NE(std::string::npos, log.find("setupRecvSocketThread failed."));
}

TEST(IpcServerConstructionTest, EmptyCallbackThrowsInvalidArgument) {
    try {
        CIPCServer server(0, CIPCServer::MsgCallback());
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ("callback function is null", e.what());
    }
}

// Destruction stops the thread and closes the socket, so the port can be bound
// again at once, and a datagram in flight meets no half-destroyed endpoint.
TEST_F(IpcServerTest, DestructionReleasesThePortPromptly) {
    const unsigned short port = m_server->GetLocalPort();
    UdpClient client;
    ASSERT_TRUE(client.SendTo(port, "in flight"));
    const size_t mark = test::LogMark();
    const auto start = std::chrono::steady_clock::now();
    m_server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    const std::string log = test::LogSince(mark);
    EXPECT_NE(std::string::npos, log.find("Receiver Thread exiting."));
    EXPECT_EQ(std::string::npos, log.find("close exception"));

    Inbox again;
    CIPCServer rebound(port, [&again](const std::string& message, unsigned short from) {
        again.Push(message, from);
    });
    ASSERT_TRUE(client.SendTo(port, "again"));
    EXPECT_EQ("again", again.Pop(2s).value_or(std::make_pair("<none>", 0)).first);
}

}  // namespace
}  // namespace vorn
