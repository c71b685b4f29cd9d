// The /proc UDP tables read where the kernel's socket dump is not available.
#include "common/linux/socketowner.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>

#include <cstring>

#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/testsupport.h"

namespace vorn {

bool operator==(const UdpSocketOwner& a, const UdpSocketOwner& b) {
    return a.uid == b.uid && a.inode == b.inode;
}

namespace {

const char kHeader[] =
    "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
    "timeout inode ref pointer drops\n";

// A row as the kernel writes it: addresses are the hex of its 32-bit words.
std::string Row(const std::string& local, uint32_t uid, uint64_t inode) {
    return "  12: " + local + " 00000000:0000 07 00000000:00000000 00:00000000 00000000 " +
           std::to_string(uid) + "        0 " + std::to_string(inode) + " 2 0000000000000000 0\n";
}

std::vector<UdpSocketOwner> Read(const std::string& table, bool v6) {
    test::TempDir dir;
    test::WriteFile(dir.file("udp"), table);
    std::vector<UdpSocketOwner> owners;
    EXPECT_TRUE(ReadProcUdpTable(dir.file("udp").c_str(), v6, 60110, owners));
    return owners;
}

TEST(ProcUdpTable, RowsThatReceiveLoopbackOnThePort) {
    // 60110 is EACE; 127.0.0.1 is 0100007F on this byte order.
    std::string v4 = std::string(kHeader) + Row("0100007F:EACE", 1000, 11) +
                     Row("00000000:EACE", 0, 12) + Row("0200007F:EACE", 1001, 13) +
                     Row("0100007F:EACF", 1002, 14) +
                     "  13: 0100007F:EACE 00000000:0000 07\n" +  // too few fields
                     std::string(2000, '1') + "\n" +             // no row of the table
                     Row("0100007F:EACE", 1004, 17);
    v4.pop_back();  // the last row without its line break still counts
    const std::vector<UdpSocketOwner> expected = {{1000, 11}, {0, 12}, {1004, 17}};
    EXPECT_EQ(Read(v4, false), expected);

    const std::string v6 = std::string(kHeader) +
                           Row("00000000000000000000000000000000:EACE", 1000, 21) +
                           Row("0000000000000000FFFF00000100007F:EACE", 1001, 22) +
                           Row("0000000000000000FFFF00000200007F:EACE", 1002, 23) +
                           Row("00000000000000000000000001000000:EACE", 1003, 24) +  // ::1
                           Row("0100007F:EACE", 1004, 25);  // a v4 address is no v6 row
    const std::vector<UdpSocketOwner> expected6 = {{1000, 21}, {1001, 22}};
    EXPECT_EQ(Read(v6, true), expected6);
}

TEST(ProcUdpTable, LongTableReadAcrossBlocks) {
    // Rows cross every block boundary of the reader somewhere.
    std::string table = kHeader;
    std::vector<UdpSocketOwner> expected;
    for (uint32_t i = 0; i < 600; ++i) {
        const bool mine = i % 7 == 0;
        table += Row(mine ? "0100007F:EACE" : "0100007F:0035", i, 1000 + i);
        if (mine) {
            expected.push_back({i, 1000 + i});
        }
    }
    EXPECT_EQ(Read(table, false), expected);
}

TEST(ProcUdpTable, MissingFileAndBadNumbers) {
    std::vector<UdpSocketOwner> owners;
    EXPECT_FALSE(ReadProcUdpTable("/nonexistent/udp", false, 60110, owners));

    test::TempDir dir;
    test::WriteFile(dir.file("udp"), std::string(kHeader) + Row("0100007F:ZZZZ", 0, 1));
    EXPECT_THROW(ReadProcUdpTable(dir.file("udp").c_str(), false, 60110, owners),
                 std::invalid_argument);
}

// One netlink message of 'type' carrying 'payload', padded as the kernel pads.
std::string Message(uint16_t type, const std::string& payload) {
    nlmsghdr header{};
    header.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(payload.size()));
    header.nlmsg_type = type;
    std::string message(reinterpret_cast<const char*>(&header), sizeof(header));
    message += payload;
    message.resize(NLMSG_ALIGN(message.size()), '\0');
    return message;
}

std::string Socket(uint8_t family, uint16_t port, const char* address, uint32_t uid,
                   uint32_t inode) {
    inet_diag_msg info{};
    info.idiag_family = family;
    info.id.idiag_sport = htons(port);
    EXPECT_EQ(inet_pton(family, address, info.id.idiag_src), 1);
    info.idiag_uid = uid;
    info.idiag_inode = inode;
    return Message(SOCK_DIAG_BY_FAMILY,
                   std::string(reinterpret_cast<const char*>(&info), sizeof(info)));
}

std::string Error(int32_t code) {
    return Message(NLMSG_ERROR, std::string(reinterpret_cast<const char*>(&code), sizeof(code)) +
                                    std::string(sizeof(nlmsghdr), '\0'));
}

TEST(SockDiagReply, SocketsThatReceiveLoopbackOnThePort) {
    const std::string reply =
        Socket(AF_INET, 60110, "127.0.0.1", 1000, 11) + Socket(AF_INET, 60110, "0.0.0.0", 0, 12) +
        Socket(AF_INET, 60110, "127.0.0.2", 1001, 13) + Socket(AF_INET, 53, "127.0.0.1", 1, 14) +
        Socket(AF_INET6, 60110, "::ffff:127.0.0.1", 1002, 15) +
        Socket(AF_INET6, 60110, "::1", 1003, 16) + Message(SOCK_DIAG_BY_FAMILY, "short") +
        Message(NLMSG_NOOP, "");
    // Offset by one byte: the reply need not be aligned for the parser.
    const std::string unaligned = "x" + reply;
    std::vector<UdpSocketOwner> owners;
    std::string error;
    EXPECT_EQ(ParseSockDiagReply(unaligned.data() + 1, reply.size(), 60110, owners, error),
              SockDiagReply::More);
    const std::vector<UdpSocketOwner> expected = {{1000, 11}, {0, 12}, {1002, 15}};
    EXPECT_EQ(owners, expected);
    EXPECT_EQ(error, "");

    owners.clear();
    const std::string done = Socket(AF_INET, 60110, "127.0.0.1", 7, 8) + Message(NLMSG_DONE, "") +
                             Socket(AF_INET, 60110, "127.0.0.1", 9, 10);
    EXPECT_EQ(ParseSockDiagReply(done.data(), done.size(), 60110, owners, error),
              SockDiagReply::Done);
    EXPECT_EQ(owners, std::vector<UdpSocketOwner>({{7, 8}}));
}

TEST(SockDiagReply, ErrorsAndDamagedReplies) {
    struct Case {
        const char* name;
        std::string reply;
        SockDiagReply result;
        const char* error;
    } cases[] = {
        {"no diagnostics for the family", Error(-ENOENT), SockDiagReply::Unsupported, ""},
        {"kernel error", Error(-EACCES), SockDiagReply::Failed, "netlink: Permission denied"},
        // Once aborted the parser under UBSan: the code was negated for strerror.
        {"code that cannot be negated", Error(INT32_MIN), SockDiagReply::Failed,
         "netlink: error -2147483648"},
        {"error too short for its code", Message(NLMSG_ERROR, "ab"), SockDiagReply::Failed,
         "netlink: short error message"},
        {"length past the reply", Socket(AF_INET, 60110, "127.0.0.1", 1, 2).substr(0, 40),
         SockDiagReply::More, ""},
        {"length shorter than a header", std::string("\x04\0\0\0\x03\0\0\0\0\0\0\0\0\0\0\0", 16),
         SockDiagReply::More, ""},
        {"empty", "", SockDiagReply::More, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<UdpSocketOwner> owners;
        std::string error;
        EXPECT_EQ(ParseSockDiagReply(c.reply.data(), c.reply.size(), 60110, owners, error),
                  c.result);
        EXPECT_EQ(error, c.error);
        EXPECT_TRUE(owners.empty());
    }
}

}  // namespace
}  // namespace vorn
