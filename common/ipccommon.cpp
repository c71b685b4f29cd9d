#include "common/ipccommon.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/post.hpp>
#include <exception>
#include <new>
#include <stdexcept>
#include <utility>

#include "common/ipcmessage.h"
#include "common/linux/listensocket.h"
#include "common/linux/processstop.h"
#include "common/logratelimit.h"
#include "common/vornlogger.h"

namespace vorn {

namespace {

// Receive buffer the kernel keeps for the socket. The default (about 200 KiB,
// charged per datagram at several hundred bytes each) drops a burst of a few
// hundred requests while the receiver thread is still answering the first
// ones; the kernel clamps this to net.core.rmem_max.
constexpr int kSocketReceiveBufferBytes = 4 * 1024 * 1024;

// Datagrams read, or sent, by one system call. A burst of thousands of
// refresh requests is read in a few hundred calls instead of one each.
constexpr unsigned kRecvBatch = 16;
constexpr unsigned kSendBatch = 64;
// Reads per completion before the receiver thread turns to its queued sends
// and re-arms: a flood cannot hold back the answers.
constexpr unsigned kMaxDrainCalls = 32;

}  // namespace

using boost::asio::ip::udp;

CIPCCommon::CIPCCommon(unsigned short port) : m_nPort(port), m_strAddress("127.0.0.1") {}

CIPCCommon::~CIPCCommon() {
    cleanup();
}

void CIPCCommon::initialise() {
    m_recvBuffer.reset(new (std::nothrow) char[kRecvBatch * kIpcMaxMessageSize]);
    if (!m_recvBuffer) {
        VORN_LOG_ERROR("Memory Allocation failed");
        cleanup();
        throw std::bad_alloc();
    }

    std::future<bool> started = m_recvThreadStarted.get_future();
    if (setupRecvSocketThread() != 0) {
        VORN_LOG_ERROR("setupRecvSocketThread failed.");
        throw std::runtime_error("Failure in setupRecvSocketThread");
    }

    // The receiver thread always sets the promise before it can end, so this
    // wait is bounded by the thread's own start-up.
    if (started.get()) {
        VORN_LOG_DEBUG("Receiver thread has started...");
    } else {
        VORN_LOG_ERROR("setupRecvSocketThread failed.");
        cleanup();
        throw std::runtime_error("Failure in setupRecvSocketThread");
    }
}

int CIPCCommon::setupRecvSocketThread() {
    m_ptrAsyncSocket.reset(new (std::nothrow) udp::socket(m_ioContext));
    if (!m_ptrAsyncSocket) {
        VORN_LOG_ERROR("Memory allocation failed");
        return -1;
    }

    try {
        // Port 0 (tests) never takes a passed socket: it means "any free port".
        const int passed = (m_nPort != 0) ? TakeListenSocket(m_nPort) : -1;
        if (passed >= 0) {
            m_ptrAsyncSocket->assign(udp::v4(), passed);
            m_bPassedSocket = true;
            // The service manager binds with SO_REUSEADDR; left set, another
            // local user who sets it too could bind the same address and take
            // the datagrams meant for the agent.
            const int off = 0;
            if (::setsockopt(passed, SOL_SOCKET, SO_REUSEADDR, &off, sizeof(off)) != 0) {
                VORN_LOG_ERRNO(CVORNLogger::kWarning, "Failed to clear SO_REUSEADDR.");
            }
            setReceiveBufferSize();
        } else if (bindSocket() != 0) {
            return -1;
        }
        m_nPort = m_ptrAsyncSocket->local_endpoint().port();
    } catch (const std::exception& e) {
        VORN_LOG_ERROR("setupRecvThread exception occurred while opening a socket: %s", e.what());
        m_ptrAsyncSocket.reset();
        return -1;
    }

    try {
        m_recvThread = std::thread(&CIPCCommon::recvThreadProc, this);
    } catch (const std::exception& e) {
        VORN_LOG_ERROR("setupRecvThread: Recv Thread startup failure: %s", e.what());
        boost::system::error_code ignored;
        m_ptrAsyncSocket->close(ignored);
        m_ptrAsyncSocket.reset();
        return -1;
    }
    return 0;
}

int CIPCCommon::bindSocket() {
    m_ptrAsyncSocket->open(udp::v4());
    const boost::asio::ip::address_v4 address = boost::asio::ip::make_address_v4(m_strAddress);

    // Children of the agent must not inherit the socket: one that outlived
    // the agent would keep the port and stop the next agent from binding.
    (void)::fcntl(m_ptrAsyncSocket->native_handle(), F_SETFD, FD_CLOEXEC);

    setReceiveBufferSize();

    boost::system::error_code error;

    // No address reuse: a second agent on this machine must fail here.
    m_ptrAsyncSocket->bind(udp::endpoint(address, m_nPort), error);
    if (error) {
        VORN_LOG_ERROR("Failed to open/bind to a port. Error: %s", error.message().c_str());
        boost::system::error_code ignored;
        m_ptrAsyncSocket->close(ignored);
        m_ptrAsyncSocket.reset();
        return -1;
    }
    return 0;
}

void CIPCCommon::setReceiveBufferSize() {
    const int fd = m_ptrAsyncSocket->native_handle();
    const int requested = kSocketReceiveBufferBytes;
    // SO_RCVBUFFORCE passes net.core.rmem_max when the agent runs with
    // CAP_NET_ADMIN (as root); otherwise SO_RCVBUF gets what that limit allows.
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &requested, sizeof(requested)) != 0 &&
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &requested, sizeof(requested)) != 0) {
        VORN_LOG_ERRNO(CVORNLogger::kWarning, "Failed to set the socket receive buffer size.");
        return;
    }
    int effective = 0;
    socklen_t length = sizeof(effective);
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &effective, &length) == 0) {
        VORN_LOG_DEBUG("Socket receive buffer size %d bytes", effective);
    }
}

void CIPCCommon::recvThreadProc() {
    VORN_LOG_DEBUG("Receiver Thread started.");
    bool armed = false;
    if (m_ptrAsyncSocket && m_ptrAsyncSocket->is_open()) {
        try {
            startReceive();
            armed = true;
        } catch (const std::exception& e) {
            VORN_LOG_ERROR("Failed to start receiving: %s", e.what());
        }
    }
    m_recvThreadStarted.set_value(armed);
    if (armed) {
        // Handlers catch what they expect; anything else leaves a process
        // that no longer answers clients, so it ends for a restart.
        try {
            m_ioContext.run();
        } catch (const std::exception& e) {
            EndProcessAfterThreadFailure("IPC receiver", e.what());
        } catch (...) {
            EndProcessAfterThreadFailure("IPC receiver", "unknown exception");
        }
    }
    VORN_LOG_DEBUG("Receiver Thread exiting.");
}

void CIPCCommon::startReceive() {
    // MSG_TRUNC makes the kernel report the datagram's real length, so one
    // longer than the buffer is recognised instead of being taken for its
    // first 4096 bytes.
    m_ptrAsyncSocket->async_receive_from(
        boost::asio::buffer(m_recvBuffer.get(), kIpcMaxMessageSize), m_senderEndpoint, MSG_TRUNC,
        [this](const boost::system::error_code& error, std::size_t bytesReceived) {
            handleReceive(error, bytesReceived);
        });
}

void CIPCCommon::handleReceive(const boost::system::error_code& error, std::size_t bytesReceived) {
    // A failed receive delivers no bytes and is simply re-armed below.
    deliver(m_recvBuffer.get(), bytesReceived, m_senderEndpoint);
    if (!error) {
        drainSocket();
    }

    if (m_ptrAsyncSocket && m_ptrAsyncSocket->is_open()) {
        try {
            startReceive();
        } catch (const std::exception& e) {
            VORN_LOG_ERROR("Failed to start receiving: %s", e.what());
        }
    }
}

void CIPCCommon::deliver(const char* data, std::size_t length, const udp::endpoint& sender) {
    if (length > kIpcMaxMessageSize) {
        VORN_LOG_LIMITED_ERROR("Received message of length %lu exceeds %lu bytes, ignored.",
                               static_cast<unsigned long>(length),
                               static_cast<unsigned long>(kIpcMaxMessageSize));
        return;
    }
    if (length == 0) {
        return;
    }
    VORN_LOG_LIMITED_DEBUG("Received message of length %lu.", static_cast<unsigned long>(length));
    try {
        const std::string message(data, length);
        processIncomingMessage(message, sender);
    } catch (const std::exception& e) {
        // An exception must not end the receiver thread: later clients
        // would get no answer for the rest of the run.
        VORN_LOG_LIMITED_ERROR("Exception while handling a received message: %s", e.what());
    }
}

void CIPCCommon::drainSocket() {
    if (!m_ptrAsyncSocket || !m_ptrAsyncSocket->is_open()) {
        return;
    }
    const int fd = m_ptrAsyncSocket->native_handle();
    mmsghdr headers[kRecvBatch];
    iovec slots[kRecvBatch];
    sockaddr_in senders[kRecvBatch];
    for (unsigned call = 0; call < kMaxDrainCalls; ++call) {
        for (unsigned i = 0; i < kRecvBatch; ++i) {
            slots[i].iov_base = m_recvBuffer.get() + i * kIpcMaxMessageSize;
            slots[i].iov_len = kIpcMaxMessageSize;
            headers[i] = mmsghdr{};
            headers[i].msg_hdr.msg_iov = &slots[i];
            headers[i].msg_hdr.msg_iovlen = 1;
            senders[i] = sockaddr_in{};
            headers[i].msg_hdr.msg_name = &senders[i];
            headers[i].msg_hdr.msg_namelen = sizeof senders[i];
        }
        // MSG_TRUNC: each length is the datagram's real one, as for the
        // single receive.
        const int received = ::recvmmsg(fd, headers, kRecvBatch, MSG_DONTWAIT | MSG_TRUNC, nullptr);
        if (received <= 0) {
            return;  // nothing queued (or a failure the armed receive will see)
        }
        for (int i = 0; i < received; ++i) {
            const sockaddr_in& from = senders[i];
            const udp::endpoint sender(boost::asio::ip::address_v4(ntohl(from.sin_addr.s_addr)),
                                       ntohs(from.sin_port));
            deliver(static_cast<const char*>(slots[i].iov_base), headers[i].msg_len, sender);
        }
        if (static_cast<unsigned>(received) < kRecvBatch) {
            return;
        }
    }
}

VORN_STATUS CIPCCommon::sendMsgToPeer(const std::string& message, const udp::endpoint& peer) {
    if (!m_ptrAsyncSocket) {
        VORN_LOG_ERROR("IPC socket is not initialised");
        return VORN_NOT_INITIALIZED;
    }

    try {
        VORN_LOG_LIMITED_DEBUG("Sending message of length %lu.",
                               static_cast<unsigned long>(message.size()));
        bool flushQueued = false;
        {
            std::lock_guard<std::mutex> lock(m_sendMutex);
            flushQueued = !m_sendQueue.empty();
            m_sendQueue.push_back(Outgoing{message, peer});
        }
        // One flush on the receiver thread sends everything queued by then;
        // answering a burst queues one flush, not one task per datagram.
        if (!flushQueued) {
            boost::asio::post(m_ioContext, [this]() { flushSends(); });
        }
    } catch (const std::bad_alloc&) {
        VORN_LOG_ERROR("Failed to allocate memory.");
        return VORN_OUT_OF_MEMORY;
    }
    return VORN_OK;
}

void CIPCCommon::flushSends() {
    std::vector<Outgoing> queue;
    {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        queue.swap(m_sendQueue);
    }
    if (!m_ptrAsyncSocket || !m_ptrAsyncSocket->is_open()) {
        return;
    }
    const int fd = m_ptrAsyncSocket->native_handle();
    mmsghdr headers[kSendBatch];
    iovec data[kSendBatch];
    sockaddr_in peers[kSendBatch];
    size_t next = 0;
    while (next < queue.size()) {
        const unsigned count =
            static_cast<unsigned>(std::min<size_t>(kSendBatch, queue.size() - next));
        for (unsigned i = 0; i < count; ++i) {
            Outgoing& out = queue[next + i];
            data[i].iov_base = out.message.data();
            data[i].iov_len = out.message.size();
            peers[i] = sockaddr_in{};
            peers[i].sin_family = AF_INET;
            peers[i].sin_port = htons(out.peer.port());
            peers[i].sin_addr.s_addr = htonl(out.peer.address().to_v4().to_uint());
            headers[i] = mmsghdr{};
            headers[i].msg_hdr.msg_iov = &data[i];
            headers[i].msg_hdr.msg_iovlen = 1;
            headers[i].msg_hdr.msg_name = &peers[i];
            headers[i].msg_hdr.msg_namelen = sizeof peers[i];
        }
        const int sent = ::sendmmsg(fd, headers, count, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            next += static_cast<size_t>(sent);
            continue;
        }
        // The first datagram of the batch was not sent. A full send buffer is
        // waited out as a single send waits; any other failure costs that
        // datagram only, as it always did.
        Outgoing& out = queue[next++];
        boost::system::error_code error;
        m_ptrAsyncSocket->send_to(boost::asio::buffer(out.message), out.peer, 0, error);
        if (error) {
            VORN_LOG_LIMITED_ERROR("socket send failure = %s", error.message().c_str());
        }
    }
}

void CIPCCommon::cleanup() {
    // Stopping the event loop wakes the receiver thread through the loop's
    // own eventfd, which sits in its poll set beside the socket: the socket
    // itself is not touched to end the wait.
    m_ioContext.stop();
    if (m_recvThread.joinable()) {
        m_recvThread.join();
    }

    if (m_ptrAsyncSocket && m_ptrAsyncSocket->is_open()) {
        boost::system::error_code error;
        m_ptrAsyncSocket->cancel(error);
        if (error) {
            VORN_LOG_WARNING("m_ptrAsyncSocket close exception [%s]", error.message().c_str());
        }
        // A passed socket belongs to the service manager, which keeps it for
        // the next agent: shutting it down would end it for every holder (the
        // manager sees a hang-up and fails the socket unit, and the next agent
        // gets EPIPE on every send). Only this process's descriptor is closed.
        if (!m_bPassedSocket) {
            // Linux reports ENOTCONN for an unconnected datagram socket but
            // shuts it down anyway; that is the normal case here, not a fault.
            m_ptrAsyncSocket->shutdown(udp::socket::shutdown_both, error);
            if (error && error != boost::asio::error::not_connected) {
                VORN_LOG_WARNING("m_ptrAsyncSocket close exception [%s]", error.message().c_str());
            }
        }
        m_ptrAsyncSocket->close(error);
        if (error) {
            VORN_LOG_WARNING("m_ptrAsyncSocket close exception [%s]", error.message().c_str());
        }
    }
    m_ptrAsyncSocket.reset();
}

}  // namespace vorn
