// The /proc UDP tables read where the kernel's socket dump is not available.
#include "common/linux/socketowner.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vorn
