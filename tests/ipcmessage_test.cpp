#include <gtest/gtest.h>

#include <string>

#include "common/ipcmessage.h"
#include "tests/support/testsupport.h"

namespace vorn {
namespace {

using Rsp = IpcRefreshTokenRsp;

TEST(IpcMessageTest, GetMsgTypeReadsTheFirstTwoBytesLittleEndian) {
    struct Case {
        const char* name;
        std::string bytes;
        VORN_STATUS status;
        uint16_t type;
    };
    const Case cases[] = {
        {"empty", std::string(), VORN_ERROR, 0},
        {"one byte", std::string("\x01", 1), VORN_ERROR, 0},
        {"request", std::string("\x01\x00", 2), VORN_OK, eRefreshTokenReq},
        {"request with extra bytes", std::string("\x01\x00\xFF\xFF", 4), VORN_OK, eRefreshTokenReq},
        {"response type", std::string("\x02\x00", 2), VORN_OK, eRefreshTokenRsp},
        {"high byte second", std::string("\x34\x12\x00", 3), VORN_OK, 0x1234},
        {"unknown type", std::string("\xFF\xFF", 2), VORN_OK, 0xFFFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t mark = test::LogMark();
        uint16_t type = 0xBEEF;
        EXPECT_EQ(c.status, GetMsgType(c.bytes, type));
        EXPECT_EQ(c.type, type);
        const bool logged =
            test::LogSince(mark).find("Failed to get the msg type") != std::string::npos;
        EXPECT_EQ(c.status != VORN_OK, logged);
    }
}

TEST(IpcMessageTest, ResponsesAreTypeTwoThenOutcomeLittleEndian) {
    struct Case {
        Rsp::eRefreshTokenResponse outcome;
        std::string bytes;
    };
    const Case cases[] = {
        {Rsp::eRefreshTokenFailed, std::string("\x02\x00\x00\x00", 4)},
        {Rsp::eRefreshTokenSuccess, std::string("\x02\x00\x01\x00", 4)},
        {Rsp::eRefreshTokenCommError, std::string("\x02\x00\x02\x00", 4)},
        {Rsp::eRefreshTokenErrorResponse, std::string("\x02\x00\x03\x00", 4)},
        {Rsp::eRefreshTokenRateLimited, std::string("\x02\x00\x04\x00", 4)},
        // Truncated to 16 bits, as a client receives it.
        {static_cast<Rsp::eRefreshTokenResponse>(0x10203), std::string("\x02\x00\x03\x02", 4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.outcome));
        const std::string encoded = EncodeRefreshTokenRsp(c.outcome);
        EXPECT_EQ(c.bytes, encoded);
        uint16_t decoded = 0xBEEF;
        EXPECT_EQ(VORN_OK, DecodeRefreshTokenRsp(encoded, decoded));
        EXPECT_EQ(static_cast<uint16_t>(c.outcome), decoded);
    }
    EXPECT_EQ(std::string("\x01\x00", 2), EncodeRefreshTokenReq());
}

TEST(IpcMessageTest, DecodeRefusesAnythingButAFourByteResponse) {
    const std::string bad[] = {
        std::string(),
        std::string("\x02\x00\x01", 3),
        std::string("\x02\x00\x01\x00\x00", 5),
        std::string("\x01\x00\x01\x00", 4),
    };
    for (const std::string& bytes : bad) {
        SCOPED_TRACE(bytes.size());
        uint16_t outcome = 0xBEEF;
        EXPECT_EQ(VORN_ERROR, DecodeRefreshTokenRsp(bytes, outcome));
        EXPECT_EQ(0, outcome);
    }
}

}  // namespace
}  // namespace vorn
