#include "agent/ipcagent.h"

#include <utility>

#include "common/logratelimit.h"
#include "common/vornlogger.h"

namespace vorn {

CIPCAgent::CIPCAgent(unsigned short port) : CIPCAgent(port, RefreshTokenHandler()) {}

// m_fnRefreshTokenHandler is set before m_ipcServer (the last member) binds,
// so the endpoint never reads a datagram without it.
CIPCAgent::CIPCAgent(unsigned short port, RefreshTokenHandler handler)
    : m_fnRefreshTokenHandler(std::move(handler)),
      m_ipcServer(port, [this](const std::string& message, unsigned short clientPort) {
          handleReceivedIpcMessage(message, clientPort);
      }) {}

CIPCAgent::~CIPCAgent() = default;

VORN_STATUS CIPCAgent::RegisterRefreshTokenHandler(RefreshTokenHandler handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fnRefreshTokenHandler = std::move(handler);
    return VORN_OK;
}

void CIPCAgent::handleReceivedIpcMessage(const std::string& message, unsigned short clientPort) {
    uint16_t msgType = 0;
    if (GetMsgType(message, msgType) != VORN_OK) {
        VORN_LOG_LIMITED_ERROR("Invalid Message received from IPC");
        return;
    }
    VORN_LOG_LIMITED_DEBUG("Received IPC Message from client[%d]", clientPort);
    if (msgType != eRefreshTokenReq) {
        VORN_LOG_LIMITED_ERROR("Invalid message [type = %d ] received from VORN Client", msgType);
        return;
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_lstPendingClients.empty()) {
        bool served = false;
        if (!m_fnRefreshTokenHandler) {
            VORN_LOG_LIMITED_ERROR("No Refresh Token Handler Registered by Agent");
        } else {
            VORN_LOG_LIMITED_DEBUG("Invoking Refresh Token Handler Registered by Agent");
            const VORN_STATUS status =
                m_fnRefreshTokenHandler([this](IpcRefreshTokenRsp::eRefreshTokenResponse response) {
                    handleRefreshTokenResponse(response);
                });
            // A handler that refused has not kept the callback: listing the
            // client would leave it, and everyone after it, waiting for an
            // answer that never comes.
            served = (status == VORN_OK);
            if (!served) {
                VORN_LOG_LIMITED_ERROR("Refresh Token Handler failed [%d]",
                                       static_cast<int>(status));
            }
        }
        if (!served) {
            const std::string failure =
                EncodeRefreshTokenRsp(IpcRefreshTokenRsp::eRefreshTokenFailed);
            if (m_ipcServer.SendMsgAsync(failure, clientPort) != VORN_OK) {
                VORN_LOG_LIMITED_ERROR("Sending FailRspMsg to Client[%d] failed", clientPort);
            } else {
                VORN_LOG_LIMITED_DEBUG("Sent FailRspMsg to Client[%d]", clientPort);
            }
            return;
        }
    }
    addWaitingClient(clientPort);
}

void CIPCAgent::addWaitingClient(uint16_t clientPort) {
    // A port is listed once, with the number of its requests: memory grows
    // with the number of distinct ports, never with the number of requests.
    auto [it, added] = m_mapPendingRequests.emplace(clientPort, 0);
    if (added) {
        m_lstPendingClients.push_back(clientPort);
    }
    if (it->second < kMaxAnswersPerPort) {
        ++it->second;
    }
}

void CIPCAgent::handleRefreshTokenResponse(IpcRefreshTokenRsp::eRefreshTokenResponse response) {
    const std::string message = EncodeRefreshTokenRsp(response);

    // Sends are only queued here; the receiver thread performs them.
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const uint16_t clientPort : m_lstPendingClients) {
        const uint8_t answers = m_mapPendingRequests[clientPort];
        for (uint8_t i = 0; i < answers; ++i) {
            if (m_ipcServer.SendMsgAsync(message, clientPort) != VORN_OK) {
                VORN_LOG_LIMITED_ERROR("Sending RspMsg to Client[%d] failed", clientPort);
            } else {
                VORN_LOG_LIMITED_DEBUG("Sent RspMsg to Client[%d]", clientPort);
            }
        }
    }
    m_lstPendingClients.clear();
    m_mapPendingRequests.clear();
}

}  // namespace vorn
