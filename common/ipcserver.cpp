#include "common/ipcserver.h"

#include <boost/asio/ip/address_v4.hpp>
#include <stdexcept>
#include <utility>

#include "common/logratelimit.h"
#include "common/vornlogger.h"

namespace vorn {

using boost::asio::ip::udp;

CIPCServer::CIPCServer(unsigned short port, MsgCallback callback) : CIPCCommon(port) {
    if (!callback) {
        throw std::invalid_argument("callback function is null");
    }
    m_fnMsgCallback = std::move(callback);
    initialise();
}

// The base destructor would stop the thread only after m_fnMsgCallback is
// gone and processIncomingMessage is no longer this class's.
CIPCServer::~CIPCServer() {
    cleanup();
}

void CIPCServer::processIncomingMessage(const std::string& message, const udp::endpoint& sender) {
    const unsigned short port = sender.port();
    // Replies go to 127.0.0.1 at the sender's port, so that address and port
    // together are the sender's full address only when it sent from
    // 127.0.0.1. A request from 127.0.0.2:P would otherwise have its answer
    // delivered to whoever owns 127.0.0.1:P.
    if (sender.address() != boost::asio::ip::address_v4::loopback()) {
        VORN_LOG_LIMITED_WARNING("Ignored a datagram from %s port %hu: only 127.0.0.1 is served",
                                 sender.address().to_string().c_str(), port);
        return;
    }
    VORN_LOG_LIMITED_DEBUG("Received incoming message from port %hu", port);
    m_fnMsgCallback(message, port);
}

VORN_STATUS CIPCServer::SendMsgAsync(const std::string& message, unsigned short port) {
    // Only requests from 127.0.0.1 are delivered, so this is where they came from.
    const udp::endpoint peer(boost::asio::ip::address_v4::loopback(), port);
    if (sendMsgToPeer(message, peer) != VORN_OK) {
        VORN_LOG_LIMITED_ERROR("Error occurred while trying to send message to client.");
        return VORN_ERROR;
    }
    VORN_LOG_LIMITED_DEBUG("Successfully sent message to client at port %hu", port);
    return VORN_OK;
}

}  // namespace vorn
