// The agent's loopback datagram endpoint: hands every datagram received from
// 127.0.0.1, with the sender's UDP port, to a callback, and sends datagrams
// back to 127.0.0.1 at a given port. Datagrams from any other source address
// (127.0.0.2 and the rest of 127/8 reach a socket bound to 127.0.0.1 too) are
// dropped, so a reply always goes to the full address its request came from.
#pragma once

#include <functional>
#include <string>

#include "common/ipccommon.h"
#include "common/vornstatus.h"

namespace vorn {

class CIPCServer : public CIPCCommon {
public:
    using MsgCallback = std::function<void(const std::string&, unsigned short)>;

    // Binds 127.0.0.1:'port' (0: a port the kernel picks, see GetLocalPort),
    // without address reuse, and returns once the receiver thread is
    // receiving. Throws std::invalid_argument ("callback function is null")
    // for an empty callback, std::runtime_error ("Failure in
    // setupRecvSocketThread") when the port cannot be bound or the thread not
    // started, std::bad_alloc when the receive buffer cannot be allocated.
    //
    // 'callback' runs on the receiver thread, one datagram at a time, in
    // arrival order, for every datagram of 1 to 4096 bytes from 127.0.0.1
    // (empty and longer ones, and those from other addresses, are dropped). While it runs nothing
    // else is received or sent.
    CIPCServer(unsigned short port, MsgCallback callback);

    // Stops and joins the receiver thread before the callback is released.
    // Must not run on the receiver thread (i.e. from inside the callback).
    ~CIPCServer() override;

    // Queues 'message' for 127.0.0.1:'port' and returns before it is sent:
    // VORN_OK when queued, VORN_ERROR otherwise. A failure of the send itself
    // is only logged. Any thread, including the callback.
    VORN_STATUS SendMsgAsync(const std::string& message, unsigned short port);

protected:
    void processIncomingMessage(const std::string& message,
                                const boost::asio::ip::udp::endpoint& sender) override;

private:
    MsgCallback m_fnMsgCallback;
};

}  // namespace vorn
