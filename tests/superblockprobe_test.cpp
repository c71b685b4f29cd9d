// The file system UUID read from a superblock, with the probing library
// loaded on first use, and what happens when that library is missing.
#include "agent/linux/superblockprobe.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/testsupport.h"

namespace vorn::test {
namespace {

const std::string kImage = std::string(VORN_TEST_DATA_DIR) + "/machines/kvm/dev/vda1";

class SuperblockProbe : public ::testing::Test {
protected:
    void TearDown() override { SetProbeLibraryNameForTest(m_name); }

    const std::string m_name = ProbeLibraryName();
};

TEST_F(SuperblockProbe, ReadsTheUUIDOfAnImageAndNothingFromOtherFiles) {
    EXPECT_EQ(SuperblockUUID(kImage), "7d3e2f10-4b5c-4a69-8e21-0c9d8b7a6f54");
    const size_t mark = LogMark();
    EXPECT_EQ(SuperblockUUID(std::string(VORN_TEST_DATA_DIR) + "/machines/kvm/etc/os-release"), "");
    EXPECT_EQ(SuperblockUUID("/nonexistent/vda1"), "");
    const std::string log = LogSince(mark);
    EXPECT_NE(log.find("No file system UUID on "), std::string::npos) << log;
    EXPECT_NE(log.find("Cannot probe /nonexistent/vda1 for a file system"), std::string::npos)
        << log;
}

TEST_F(SuperblockProbe, MissingLibraryGivesNoUUIDAndSaysWhy) {
    SetProbeLibraryNameForTest("libvorn-test-absent.so.1");
    const size_t mark = LogMark();
    EXPECT_EQ(SuperblockUUID(kImage), "");
    EXPECT_EQ(SuperblockUUID(kImage), "");  // not retried, said once
    const std::string log = LogSince(mark);
    const std::string said = "Cannot load the block-device probing library: ";
    ASSERT_NE(log.find(said), std::string::npos) << log;
    EXPECT_EQ(log.find(said, log.find(said) + 1), std::string::npos) << log;
    EXPECT_NE(log.find("libvorn-test-absent.so.1"), std::string::npos) << log;

    // Named again, it loads and reads the image.
    SetProbeLibraryNameForTest(m_name);
    EXPECT_EQ(SuperblockUUID(kImage), "7d3e2f10-4b5c-4a69-8e21-0c9d8b7a6f54");
}

}  // namespace
}  // namespace vorn::test
