#include "common/ipcserver.h"

#include <boost/asio/ip/address_v4.hpp>
#include <stdexcept>
#include <utility>

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
    VORN_LOG_DEBUG("Received incoming message from port %hu", port);
    m_fnMsgCallback(message, port);
}

VORN_STATUS CIPCServer::SendMsgAsync(const std::string& message, unsigned short port) {
    // Replies always go to loopback, whatever address a request came from.
    const udp::endpoint peer(boost::asio::ip::address_v4::loopback(), port);
    if (sendMsgToPeer(message, peer) != VORN_OK) {
        VORN_LOG_ERROR("Error occurred while trying to send message to client.");
        return VORN_ERROR;
    }
    VORN_LOG_DEBUG("Successfully sent message to client at port %hu", port);
    return VORN_OK;
}

}  // namespace vorn
