// The client side of the local refresh protocol: one two-byte request to the
// agent's loopback port, one four-byte answer back.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace vorn {

struct RefreshResult {
    enum class Kind {
        Answered,     // 'outcome' holds the agent's answer
        NoAgent,      // nothing listens on the port (the kernel refused the datagram)
        TimedOut,     // no answer within the timeout
        SystemError,  // a socket call failed; 'error' says which
        // An answer came, but the socket that sent it is not the agent's: it
        // belongs to neither root nor the agent's uid, or its owner could not
        // be confirmed. 'error' says who owns it; the answer is not believed.
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

// "success", "failed", "comm-error", "error-response", "rate-limited", or
// "unknown(<n>)".
std::string RefreshOutcomeName(uint16_t outcome);

}  // namespace vorn
