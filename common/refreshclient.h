// The client side of the local refresh protocol: one two-byte request, one
// four-byte answer back, over either of the agent's two endpoints.
//
// RequestRefreshLocal (the Unix socket) is the trusted path: the kernel names
// the agent's uid before anything is sent, and nobody else can answer on the
// connection. RequestRefresh (the loopback UDP port) is kept for clients of
// the datagram protocol; any local user can forge its answer, and the owner
// check it makes narrows that but cannot prove who sent a datagram.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace vorn {

struct RefreshResult {
    enum class Kind {
        Answered,     // 'outcome' holds the agent's answer
        NoAgent,      // nothing listens (the kernel refused the datagram or the connection)
        TimedOut,     // no answer within the timeout
        SystemError,  // a socket call failed; 'error' says which
        // The socket is not the agent's: it belongs to neither root nor the
        // agent's uid, or its owner could not be confirmed. 'error' says who
        // owns it; its answer is not believed (on the Unix socket, the request
        // is not even sent).
        Untrusted,
    };
    Kind kind = Kind::SystemError;
    uint16_t outcome = 0;
    std::string error;
    uid_t ownerUid = 0;  // Untrusted: the owner found (when one was found)
};

// Sends a refresh request from an ephemeral 127.0.0.1 port to 127.0.0.1:port
// and waits at most 'timeout' for the answer. Datagrams that are not a
// four-byte refresh response are ignored. An answer is believed only when
// every socket that receives datagrams for 127.0.0.1:port belongs to root or
// to 'agentUid', as the kernel reports it; otherwise the result is Untrusted.
RefreshResult RequestRefresh(uint16_t port, std::chrono::milliseconds timeout, uid_t agentUid = 0);

// Whether the sockets receiving for 127.0.0.1:port all belong to root or
// 'agentUid'. When not, 'result' is filled in as Untrusted. Used by
// RequestRefresh once an answer has arrived.
bool VerifyAgentSocket(uint16_t port, uid_t agentUid, RefreshResult& result);

// Connects to the agent's Unix socket at 'path', checks with the kernel
// (SO_PEERCRED) that the listening process runs as root or as 'agentUid'
// before sending, then sends one refresh request and waits at most 'timeout'
// for its answer.
RefreshResult RequestRefreshLocal(const std::string& path, std::chrono::milliseconds timeout,
                                  uid_t agentUid = 0);

// "success", "failed", "comm-error", "error-response", "rate-limited", or
// "unknown(<n>)".
std::string RefreshOutcomeName(uint16_t outcome);

}  // namespace vorn
