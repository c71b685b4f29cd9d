#include "common/ipcmessage.h"

#include "common/logratelimit.h"
#include "common/vornlogger.h"

namespace vorn {

namespace {

// Explicit byte order: the protocol is little-endian whatever the host is.
uint16_t ReadLE16(const std::string& bytes, size_t offset) {
    return static_cast<uint16_t>(static_cast<unsigned char>(bytes[offset]) |
                                 (static_cast<unsigned char>(bytes[offset + 1]) << 8));
}

void AppendLE16(std::string& bytes, uint16_t value) {
    bytes.push_back(static_cast<char>(value & 0xFF));
    bytes.push_back(static_cast<char>(value >> 8));
}

}  // namespace

VORN_STATUS GetMsgType(const std::string& message, uint16_t& msgType) {
    msgType = 0;
    if (message.size() < kIpcRefreshTokenReqSize) {
        VORN_LOG_LIMITED_ERROR("Failed to get the msg type");
        return VORN_ERROR;
    }
    msgType = ReadLE16(message, 0);
    return VORN_OK;
}

std::string EncodeRefreshTokenReq() {
    std::string bytes;
    AppendLE16(bytes, eRefreshTokenReq);
    return bytes;
}

std::string EncodeRefreshTokenRsp(IpcRefreshTokenRsp::eRefreshTokenResponse outcome) {
    std::string bytes;
    bytes.reserve(kIpcRefreshTokenRspSize);
    AppendLE16(bytes, eRefreshTokenRsp);
    AppendLE16(bytes, static_cast<uint16_t>(outcome));
    return bytes;
}

VORN_STATUS DecodeRefreshTokenRsp(const std::string& message, uint16_t& outcome) {
    outcome = 0;
    if (message.size() != kIpcRefreshTokenRspSize || ReadLE16(message, 0) != eRefreshTokenRsp) {
        return VORN_ERROR;
    }
    outcome = ReadLE16(message, 2);
    return VORN_OK;
}

}  // namespace vorn
