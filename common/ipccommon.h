// The loopback UDP endpoint's machinery: one socket bound to 127.0.0.1 (or,
// for a fixed port, the one a service manager passed in), one reused receive
// buffer, and one receiver thread that runs the event loop.
//
// Threading: the receiver thread is the only thread that runs m_ioContext, so
// every receive completion, every processIncomingMessage call and every actual
// send happens on it, one at a time. Other threads only queue sends through
// sendMsgToPeer. The receiver thread is owned here: started by initialise()
// and stopped and joined by cleanup(), which every destructor in the
// hierarchy runs first so that no datagram reaches a half-destroyed object.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/vornstatus.h"

namespace vorn {

class CIPCCommon {
public:
    virtual ~CIPCCommon();

    CIPCCommon(const CIPCCommon&) = delete;
    CIPCCommon& operator=(const CIPCCommon&) = delete;

    // The local port the socket is bound to (the kernel's choice when the
    // endpoint was constructed with port 0).
    unsigned short GetLocalPort() const { return m_nPort; }

protected:
    // Binds nothing yet; a derived constructor calls initialise().
    explicit CIPCCommon(unsigned short port);

    // Called on the receiver thread for every datagram of 1 to 4096 bytes.
    virtual void processIncomingMessage(const std::string& message,
                                        const boost::asio::ip::udp::endpoint& sender) = 0;

    // Allocates the receive buffer, binds the socket, starts the receiver
    // thread and waits until its first receive is armed. Throws
    // std::bad_alloc or std::runtime_error ("Failure in setupRecvSocketThread").
    void initialise();

    // Queues one datagram to 'peer' and returns before it is sent: VORN_OK,
    // VORN_OUT_OF_MEMORY, or VORN_NOT_INITIALIZED when there is no socket.
    // Any thread. A send failure on the receiver thread is only logged.
    VORN_STATUS sendMsgToPeer(const std::string& message,
                              const boost::asio::ip::udp::endpoint& peer);

    // Stops the event loop, joins the receiver thread and closes the socket
    // (shut down first only when this endpoint bound it itself; a passed one
    // stays usable for the next agent). Idempotent. Never call it from the
    // receiver thread.
    void cleanup();

private:
    int setupRecvSocketThread();
    // Opens the socket and binds m_strAddress:m_nPort; 0, or -1 (logged) when
    // the port cannot be bound.
    int bindSocket();
    void setReceiveBufferSize();
    void recvThreadProc();
    void startReceive();
    void handleReceive(const boost::system::error_code& error, std::size_t bytesReceived);
    // Hands one received datagram of 'length' bytes (its real length, which
    // may exceed the buffer) at 'data' to processIncomingMessage.
    void deliver(const char* data, std::size_t length,
                 const boost::asio::ip::udp::endpoint& sender);
    // Reads and delivers what else is queued on the socket, many datagrams
    // per system call, without waiting.
    void drainSocket();
    // Sends every queued datagram, many per system call.
    void flushSends();

    struct Outgoing {
        std::string message;
        boost::asio::ip::udp::endpoint peer;
    };

    boost::asio::io_context m_ioContext;
    unsigned short m_nPort;
    std::string m_strAddress;
    std::thread m_recvThread;
    boost::asio::ip::udp::endpoint m_senderEndpoint;  // receiver thread only
    std::unique_ptr<boost::asio::ip::udp::socket> m_ptrAsyncSocket;
    // The socket was handed over by the service manager: cleanup() closes
    // this process's descriptor of it and never shuts it down.
    bool m_bPassedSocket = false;
    // kRecvBatch slots of kIpcMaxMessageSize bytes; the kernel only backs the
    // pages a burst actually fills.
    std::unique_ptr<char[]> m_recvBuffer;
    std::mutex m_sendMutex;
    std::vector<Outgoing> m_sendQueue;  // guarded by m_sendMutex
    std::promise<bool> m_recvThreadStarted;
};

}  // namespace vorn
