// The bytes of the local refresh protocol.
//
// A local client asks the agent to refresh the identity with one UDP datagram
// on the loopback interface and gets one datagram back with the outcome. Every
// field is an unsigned 16-bit little-endian integer; one datagram carries one
// message, with no framing, length, version or checksum:
//
//   request  (client -> agent): 01 00                 (msgType = eRefreshTokenReq)
//   response (agent -> client): 02 00 <outcome, 2 bytes> (msgType = eRefreshTokenRsp)
//
// The agent reads nothing beyond the first two bytes of a request, so
// 01 00 FF FF is the same request as 01 00.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/vornstatus.h"

namespace vorn {

// The agent's loopback port.
constexpr unsigned short kIpcAgentPort = 60110;
// Largest datagram the endpoint accepts; anything longer is dropped.
constexpr size_t kIpcMaxMessageSize = 4096;

enum eIpcMsgType : uint16_t {
    eRefreshTokenReq = 1,
    eRefreshTokenRsp = 2,
};

struct IpcMsgHeader {
    uint16_t msgType;
};

// The request is the header alone.
struct IpcRefreshTokenReq {
    IpcMsgHeader header;
};

struct IpcRefreshTokenRsp {
    // The outcome of a refresh, as the client sees it.
    // A fixed underlying type: any int the core passes is a valid value, and
    // only its low 16 bits are sent.
    enum eRefreshTokenResponse : int {
        eRefreshTokenFailed = 0,         // not served: no refresh handler registered
        eRefreshTokenSuccess = 1,        // identity obtained and stored before answering
        eRefreshTokenCommError = 2,      // no usable answer from the cloud
        eRefreshTokenErrorResponse = 3,  // the cloud answered with an error
        eRefreshTokenRateLimited = 4,    // a retry-after period is in force
    };

    IpcMsgHeader header;
    uint16_t response;
};

// Wire sizes: the structs above are not sent as memory images, so their
// padding and the host's byte order never reach the wire.
constexpr size_t kIpcRefreshTokenReqSize = 2;
constexpr size_t kIpcRefreshTokenRspSize = 4;

// Called once by the agent core with the outcome of a refresh.
using RefreshTokenCallback = std::function<void(IpcRefreshTokenRsp::eRefreshTokenResponse)>;
// The agent core's entry point that starts a refresh. On VORN_OK it has kept
// the callback and will call it exactly once, later, from outside the handler
// (the handler runs under the IPC service's lock, which the callback takes).
using RefreshTokenHandler = std::function<VORN_STATUS(RefreshTokenCallback)>;

// Decodes the message type from the first two bytes of a datagram. Sets
// msgType to 0 first; a datagram shorter than 2 bytes is logged ("Failed to
// get the msg type") and gives VORN_ERROR. The value is not checked against
// eIpcMsgType.
VORN_STATUS GetMsgType(const std::string& message, uint16_t& msgType);

// The 2-byte refresh request, 01 00.
std::string EncodeRefreshTokenReq();

// The 4-byte response carrying 'outcome' truncated to 16 bits, e.g. 02 00 04 00
// for eRefreshTokenRateLimited.
std::string EncodeRefreshTokenRsp(IpcRefreshTokenRsp::eRefreshTokenResponse outcome);

// Decodes a response datagram for a client: VORN_OK with the raw outcome code
// when 'message' is exactly 4 bytes of type eRefreshTokenRsp, else VORN_ERROR
// (outcome left at 0). The code is not checked against eRefreshTokenResponse,
// so a client can report a value it does not know.
VORN_STATUS DecodeRefreshTokenRsp(const std::string& message, uint16_t& outcome);

}  // namespace vorn
