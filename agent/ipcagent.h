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
// The same service answers on the authenticated local socket (see
// CUnixIpcServer) when the agent is given its path: a request there joins the
// same refresh and the same waiting list, with the same cap per client, and
// the client is known by its connection (and the kernel's uid and pid for it)
// instead of a port.
//
// Locking: m_mutex is held while the handler runs, so the handler may take the
// core's own lock, and the core must call the callback only after releasing
// its lock (and never from inside the handler: m_mutex is not recursive).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/ipcmessage.h"
#include "common/ipcserver.h"
#include "common/linux/unixipcserver.h"
#include "common/vornstatus.h"

namespace vorn {

class CIPCAgent {
public:
    // Answers one port gets for one refresh, however often it asked.
    static constexpr uint8_t kMaxAnswersPerPort = 8;

    // Binds 127.0.0.1:'port' (the agent passes kIpcAgentPort; 0 lets the
    // kernel pick, for tests) and returns once it is receiving. Throws what
    // CIPCServer throws; a port already bound gives std::runtime_error.
    // 'localSocketPath' non-empty: also serves that Unix socket, and throws
    // what CUnixIpcServer throws when it cannot.
    explicit CIPCAgent(unsigned short port, const std::string& localSocketPath = std::string());
    // As above, with 'handler' registered before the endpoints read their
    // first request: a request already queued on a socket handed over by the
    // service manager (the one that started the agent) reaches the handler
    // instead of being answered eRefreshTokenFailed. The handler may be called
    // before this constructor returns.
    CIPCAgent(unsigned short port, RefreshTokenHandler handler,
              const std::string& localSocketPath = std::string());
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

    // One packet from a client of the local socket. Called on that socket's
    // thread; public so the service can be driven directly.
    void handleLocalMessage(const std::string& message, const LocalClient& client);

    // Completion of the refresh in progress: queues the 4-byte response to
    // every waiting client and empties the list. Called through the callback
    // given to the handler; a call with nobody waiting sends nothing.
    void handleRefreshTokenResponse(IpcRefreshTokenRsp::eRefreshTokenResponse response);

    // The bound port.
    unsigned short GetLocalPort() const { return m_ipcServer.GetLocalPort(); }

private:
    // Who asked: a loopback port, or a connection of the local socket.
    struct Requester {
        bool local = false;
        uint64_t key = 0;  // the port, or the connection's id
    };
    // Whether a decoded message type is a refresh request; logs when not.
    static bool isRefreshRequest(uint16_t msgType);
    // Starts a refresh, or joins the one in progress. m_mutex must be held.
    // False when none could be started (the requester is answered at once
    // with eRefreshTokenFailed by the caller).
    bool startOrJoinRefresh(const Requester& requester);
    // Sends 'message' to one requester; false when it could not be queued.
    bool sendTo(const Requester& requester, const std::string& message);

    // Lists the port (once) and counts its request, up to kMaxAnswersPerPort.
    // m_mutex must be held.
    void addWaitingClient(const Requester& requester);

    RefreshTokenHandler m_fnRefreshTokenHandler;  // guarded by m_mutex
    std::mutex m_mutex;
    // Requesters waiting for the refresh in progress, each once, in the order
    // of their first request; together non-empty exactly while a refresh is
    // outstanding. Guarded by m_mutex. A port costs two bytes here and one in
    // m_portRequests, so 40,000 waiting ports take about 150 KB.
    std::vector<uint16_t> m_vecPendingPorts;
    std::vector<uint64_t> m_vecPendingLocal;  // at most CUnixIpcServer::kMaxClients
    // Requests of each listed port (0: not listed), 1..kMaxAnswersPerPort, for
    // all 65,536 ports; allocated once. Guarded by m_mutex.
    std::unique_ptr<uint8_t[]> m_portRequests{new uint8_t[65536]()};
    // The same for the listed connections. Guarded by m_mutex.
    std::unordered_map<uint64_t, uint8_t> m_mapPendingLocalRequests;
    // Last member: constructed after, and destroyed before, everything its
    // receiver thread reaches through handleReceivedIpcMessage.
    CIPCServer m_ipcServer;
    // Null when no local socket path was given. Destroyed first, for the
    // same reason as m_ipcServer.
    std::unique_ptr<CUnixIpcServer> m_localServer;
};

}  // namespace vorn
