#include "agent/ipcagent.h"

#include <utility>

#include "common/logratelimit.h"
#include "common/vornlogger.h"

namespace vorn {

CIPCAgent::CIPCAgent(unsigned short port, const std::string& localSocketPath)
    : CIPCAgent(port, RefreshTokenHandler(), localSocketPath) {}

// m_fnRefreshTokenHandler is set before m_ipcServer binds, so the endpoint
// never reads a datagram without it; the local socket comes last, for the
// same reason.
CIPCAgent::CIPCAgent(unsigned short port, RefreshTokenHandler handler,
                     const std::string& localSocketPath)
    : m_fnRefreshTokenHandler(std::move(handler)),
      m_ipcServer(port, [this](const std::string& message, unsigned short clientPort) {
          handleReceivedIpcMessage(message, clientPort);
      }) {
    if (!localSocketPath.empty()) {
        m_localServer = std::make_unique<CUnixIpcServer>(
            localSocketPath, [this](const std::string& message, const LocalClient& client) {
                handleLocalMessage(message, client);
            });
    }
}

CIPCAgent::~CIPCAgent() = default;

VORN_STATUS CIPCAgent::RegisterRefreshTokenHandler(RefreshTokenHandler handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fnRefreshTokenHandler = std::move(handler);
    return VORN_OK;
}

bool CIPCAgent::isRefreshRequest(uint16_t msgType) {
    if (msgType != eRefreshTokenReq) {
        VORN_LOG_LIMITED_ERROR("Invalid message [type = %d ] received from VORN Client", msgType);
        return false;
    }
    return true;
}

void CIPCAgent::handleReceivedIpcMessage(const std::string& message, unsigned short clientPort) {
    uint16_t msgType = 0;
    if (GetMsgType(message, msgType) != VORN_OK) {
        VORN_LOG_LIMITED_ERROR("Invalid Message received from IPC");
        return;
    }
    VORN_LOG_LIMITED_DEBUG("Received IPC Message from client[%d]", clientPort);
    if (!isRefreshRequest(msgType)) {
        return;
    }
    const Requester requester{false, clientPort};
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!startOrJoinRefresh(requester)) {
        const std::string failure = EncodeRefreshTokenRsp(IpcRefreshTokenRsp::eRefreshTokenFailed);
        if (!sendTo(requester, failure)) {
            VORN_LOG_LIMITED_ERROR("Sending FailRspMsg to Client[%d] failed", clientPort);
        } else {
            VORN_LOG_LIMITED_DEBUG("Sent FailRspMsg to Client[%d]", clientPort);
        }
    }
}

void CIPCAgent::handleLocalMessage(const std::string& message, const LocalClient& client) {
    // The kernel's word on who asked: logged, so that a flood or a misuse
    // names its user and process.
    VORN_LOG_LIMITED_DEBUG("Received local request from uid %u pid %d",
                           static_cast<unsigned>(client.uid), static_cast<int>(client.pid));
    uint16_t msgType = 0;
    if (GetMsgType(message, msgType) != VORN_OK) {
        VORN_LOG_LIMITED_ERROR("Invalid Message received from IPC");
        return;
    }
    if (!isRefreshRequest(msgType)) {
        return;
    }
    const Requester requester{true, client.id};
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!startOrJoinRefresh(requester)) {
        const std::string failure = EncodeRefreshTokenRsp(IpcRefreshTokenRsp::eRefreshTokenFailed);
        if (!sendTo(requester, failure)) {
            VORN_LOG_LIMITED_ERROR("Sending FailRspMsg to local client uid %u pid %d failed",
                                   static_cast<unsigned>(client.uid), static_cast<int>(client.pid));
        }
    }
}

bool CIPCAgent::startOrJoinRefresh(const Requester& requester) {
    if (m_vecPendingPorts.empty() && m_vecPendingLocal.empty()) {
        if (!m_fnRefreshTokenHandler) {
            VORN_LOG_LIMITED_ERROR("No Refresh Token Handler Registered by Agent");
            return false;
        }
        VORN_LOG_LIMITED_DEBUG("Invoking Refresh Token Handler Registered by Agent");
        const VORN_STATUS status =
            m_fnRefreshTokenHandler([this](IpcRefreshTokenRsp::eRefreshTokenResponse response) {
                handleRefreshTokenResponse(response);
            });
        // A handler that refused has not kept the callback: listing the
        // client would leave it, and everyone after it, waiting for an
        // answer that never comes.
        if (status != VORN_OK) {
            VORN_LOG_LIMITED_ERROR("Refresh Token Handler failed [%d]", static_cast<int>(status));
            return false;
        }
    }
    addWaitingClient(requester);
    return true;
}

void CIPCAgent::addWaitingClient(const Requester& requester) {
    // A requester is listed once, with the number of its requests: memory
    // grows with the number of distinct ports or connections, never with the
    // number of requests.
    uint8_t* count = nullptr;
    if (requester.local) {
        auto [it, added] = m_mapPendingLocalRequests.emplace(requester.key, 0);
        if (added) {
            m_vecPendingLocal.push_back(requester.key);
        }
        count = &it->second;
    } else {
        const auto port = static_cast<uint16_t>(requester.key);
        count = &m_portRequests[port];
        if (*count == 0) {
            m_vecPendingPorts.push_back(port);
        }
    }
    if (*count < kMaxAnswersPerPort) {
        ++*count;
    }
}

bool CIPCAgent::sendTo(const Requester& requester, const std::string& message) {
    if (requester.local) {
        // A client that has hung up simply gets nothing.
        return m_localServer && m_localServer->SendAsync(requester.key, message);
    }
    return m_ipcServer.SendMsgAsync(message, static_cast<uint16_t>(requester.key)) == VORN_OK;
}

void CIPCAgent::handleRefreshTokenResponse(IpcRefreshTokenRsp::eRefreshTokenResponse response) {
    const std::string message = EncodeRefreshTokenRsp(response);

    // Sends are only queued here; the endpoints' threads perform them.
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const uint16_t port : m_vecPendingPorts) {
        const uint8_t answers = m_portRequests[port];
        m_portRequests[port] = 0;
        for (uint8_t i = 0; i < answers; ++i) {
            if (!sendTo(Requester{false, port}, message)) {
                VORN_LOG_LIMITED_ERROR("Sending RspMsg to Client[%d] failed", port);
            } else {
                VORN_LOG_LIMITED_DEBUG("Sent RspMsg to Client[%d]", port);
            }
        }
    }
    for (const uint64_t id : m_vecPendingLocal) {
        const uint8_t answers = m_mapPendingLocalRequests[id];
        for (uint8_t i = 0; i < answers && sendTo(Requester{true, id}, message); ++i) {
            // A connection that has gone takes no more.
        }
    }
    // The lists' storage goes too: a burst of 40,000 ports must not leave
    // its bookkeeping behind for the rest of the run.
    std::vector<uint16_t>().swap(m_vecPendingPorts);
    m_vecPendingLocal.clear();
    m_mapPendingLocalRequests.clear();
}

}  // namespace vorn
