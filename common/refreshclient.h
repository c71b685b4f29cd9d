// The client side of the local refresh protocol: one two-byte request to the
// agent's loopback port, one four-byte answer back.
#pragma once

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
    };
    Kind kind = Kind::SystemError;
    uint16_t outcome = 0;
    std::string error;
};

// Sends a refresh request from an ephemeral 127.0.0.1 port to 127.0.0.1:port
// and waits at most 'timeout' for the answer. Datagrams that are not a
// four-byte refresh response are ignored.
RefreshResult RequestRefresh(uint16_t port, std::chrono::milliseconds timeout);

// "success", "failed", "comm-error", "error-response", "rate-limited", or
// "unknown(<n>)".
std::string RefreshOutcomeName(uint16_t outcome);

}  // namespace vorn
