// The agent's refresh service for local clients.
//
// Owns the agent's loopback endpoint. A valid request (type 1) while no
// refresh is in progress calls the agent core's registered handler once; every
// request that arrives until the core reports the outcome through the callback
// only joins the waiting list. The outcome is then sent to every waiting
// client's port, once per request (a client that asked twice is answered
// twice), but at most kMaxAnswersPerPort times: a port is kept once with a
// count, so a flood from one socket during a slow exchange costs nothing more
// than its first request. Before a handler is registered, a request is
// answered at once with eRefreshTokenFailed (02 00 00 00).
//
// Locking: m_mutex is held while the handler runs, so the handler may take the
// core's own lock, and the core must call the callback only after releasing
// its lock (and never from inside the handler: m_mutex is not recursive).
#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

#include "common/ipcmessage.h"
#include "common/ipcserver.h"
#include "common/vornstatus.h"

namespace vorn {

class CIPCAgent {
public:
    // Answers one port gets for one refresh, however often it asked.
    static constexpr uint8_t kMaxAnswersPerPort = 8;

    // Binds 127.0.0.1:'port' (the agent passes kIpcAgentPort; 0 lets the
    // kernel pick, for tests) and returns once it is receiving. Throws what
    // CIPCServer throws; a port already bound gives std::runtime_error.
    explicit CIPCAgent(unsigned short port);
    // As above, with 'handler' registered before the endpoint reads its first
    // datagram: a request already queued on a socket handed over by the
    // service manager (the one that started the agent) reaches the handler
    // instead of being answered eRefreshTokenFailed. The handler may be called
    // before this constructor returns.
    CIPCAgent(unsigned short port, RefreshTokenHandler handler);
    // Stops the endpoint before anything its thread reaches is released.
    // Waiting clients get no answer. Not from inside the handler or callback.
    ~CIPCAgent();

    CIPCAgent(const CIPCAgent&) = delete;
    CIPCAgent& operator=(const CIPCAgent&) = delete;

    // Replaces the handler (an empty one means "none registered"). Always
    // VORN_OK. Any thread.
    VORN_STATUS RegisterRefreshTokenHandler(RefreshTokenHandler handler);

    // One received datagram from 127.0.0.1:'clientPort'. Called on the
    // endpoint's receiver thread; public so the service can be driven directly.
    void handleReceivedIpcMessage(const std::string& message, unsigned short clientPort);

    // Completion of the refresh in progress: queues the 4-byte response to
    // every waiting client and empties the list. Called through the callback
    // given to the handler; a call with nobody waiting sends nothing.
    void handleRefreshTokenResponse(IpcRefreshTokenRsp::eRefreshTokenResponse response);

    // The bound port.
    unsigned short GetLocalPort() const { return m_ipcServer.GetLocalPort(); }

private:
    // Lists the port (once) and counts its request, up to kMaxAnswersPerPort.
    // m_mutex must be held.
    void addWaitingClient(uint16_t clientPort);

    RefreshTokenHandler m_fnRefreshTokenHandler;  // guarded by m_mutex
    std::mutex m_mutex;
    // Ports waiting for the refresh in progress, each once, in the order of
    // their first request; non-empty exactly while a refresh is outstanding.
    // Guarded by m_mutex.
    std::list<uint16_t> m_lstPendingClients;
    // Requests of each listed port, 1..kMaxAnswersPerPort. Guarded by m_mutex.
    std::unordered_map<uint16_t, uint8_t> m_mapPendingRequests;
    // Last member: constructed after, and destroyed before, everything its
    // receiver thread reaches through handleReceivedIpcMessage.
    CIPCServer m_ipcServer;
};

}  // namespace vorn
