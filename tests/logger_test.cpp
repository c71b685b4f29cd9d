#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "common/vornlogger.h"
#include "tests/support/testsupport.h"

using vorn::test::FileExists;
using vorn::test::LogMark;
using vorn::test::LogSince;
using vorn::test::ReadFile;
using vorn::test::TempDir;
using vorn::test::TestLogPath;
using vorn::test::WriteFile;

namespace {

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override { CVORNLogger::GetInstance("").SetLogLevel(CVORNLogger::kDebug); }
    void TearDown() override { CVORNLogger::GetInstance("").SetLogLevel(CVORNLogger::kVerbose); }
};

TEST_F(LoggerTest, LineLayoutNamesCallerLevelAndEndsWithSpace) {
    const size_t mark = LogMark();
    VORN_LOG_DEBUG("hello %d %s", 42, "world");
    const int line = __LINE__ - 1;
    const std::string text = LogSince(mark);
    const std::regex layout(
        R"(^\[[^\]]{1,24}\] T: [0-9A-F]+ F: logger_test\.cpp L: )" + std::to_string(line) +
        R"( f: \S*LoggerTest_LineLayoutNamesCallerLevelAndEndsWithSpace_Test::TestBody S: debug :: hello 42 world \n$)");
    EXPECT_TRUE(std::regex_match(text, layout)) << text;
    // The thread id is the kernel's, in upper-case hex without leading zeros.
    char tid[32];
    snprintf(tid, sizeof tid, " T: %lX ", static_cast<unsigned long>(gettid()));
    EXPECT_NE(text.find(tid), std::string::npos) << text;
}

TEST_F(LoggerTest, LevelsAboveTheLoggerLevelWriteNothing) {
    const size_t mark = LogMark();
    VORN_LOG_VERBOSE("not written");
    EXPECT_EQ(LogSince(mark), "");
    CVORNLogger::GetInstance("").SetLogLevel(CVORNLogger::kVerbose);
    VORN_LOG_VERBOSE("written");
    EXPECT_NE(LogSince(mark).find("S: verbose :: written \n"), std::string::npos);
}

TEST_F(LoggerTest, LevelNames) {
    const size_t mark = LogMark();
    CVORNLogger::GetInstance("").SetLogLevel(9);
    VORN_LOG(CVORNLogger::kError, "e");
    VORN_LOG(CVORNLogger::kWarning, "w");
    VORN_LOG(7, "u");
    const std::string text = LogSince(mark);
    EXPECT_NE(text.find("S: error :: e \n"), std::string::npos);
    EXPECT_NE(text.find("S: warning :: w \n"), std::string::npos);
    EXPECT_NE(text.find("S: unknown :: u \n"), std::string::npos);
}

TEST_F(LoggerTest, ErrorTextIsAppendedLiterallyAndErrnoIsKept) {
    const size_t mark = LogMark();
    errno = ENOENT;
    VORN_LOG_ERRNO(CVORNLogger::kError, "open failed %d%%", 7);
    EXPECT_EQ(errno, ENOENT);
    const std::string text = LogSince(mark);
    EXPECT_NE(text.find(":: open failed 7% No such file or directory\n"), std::string::npos)
        << text;
}

TEST_F(LoggerTest, LongLinesAreCutAt4095Characters) {
    const size_t mark = LogMark();
    const std::string big(5000, 'x');
    VORN_LOG_DEBUG("%s", big.c_str());
    const std::string text = LogSince(mark);
    EXPECT_EQ(text.size(), 4095u);
    EXPECT_NE(text.back(), '\n');
}

TEST(LoggerFunctionName, QualifiedNameIsExtracted) {
    const struct {
        const char* pretty;
        const char* expected;
    } cases[] = {
        {"vorn::VORN_STATUS vorn::CVORNAgent::MainThreadProc()",
         "vorn::CVORNAgent::MainThreadProc"},
        {"void vorn::CVORNAgent::ShutDown()", "vorn::CVORNAgent::ShutDown"},
        {"int main(int, char**)", "main"},
        {"vorn::CIPCServer::CIPCServer(uint16_t)", "vorn::CIPCServer::CIPCServer"},
        {"std::string vorn::Get(const std::map<int, int>&)", "vorn::Get"},
        {"void vorn::X<T>::f() [with T = int]", "vorn::X<T>::f"},
        {"vorn::CVORNAgent::MainThreadProc()::<lambda(int)>", "vorn::CVORNAgent::MainThreadProc"},
        {"bool vorn::X::operator()(int) const", "vorn::X::operator()"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(vorn::logdetail::FunctionName(c.pretty).c_str(), c.expected) << c.pretty;
    }
}

// Rotation is triggered by the size of the file on disk, so the test log
// itself is grown to the boundary.
TEST_F(LoggerTest, RotatesOnlyAboveFiveMillionBytes) {
    const std::string path = TestLogPath();
    for (int k = 1; k <= 5; ++k) {
        unlink((path + "." + std::to_string(k)).c_str());
    }
    ASSERT_EQ(truncate(path.c_str(), CVORNLogger::kRotateAboveBytes), 0);
    VORN_LOG_DEBUG("at the boundary");
    EXPECT_FALSE(FileExists(path + ".1"));

    VORN_LOG_DEBUG("over the boundary");
    ASSERT_TRUE(FileExists(path + ".1"));
    const std::string rotated = ReadFile(path + ".1");
    EXPECT_EQ(rotated.size(), static_cast<size_t>(CVORNLogger::kRotateAboveBytes) +
                                  rotated.substr(CVORNLogger::kRotateAboveBytes).size());
    EXPECT_NE(rotated.find("at the boundary"), std::string::npos);
    const std::string current = ReadFile(path);
    EXPECT_NE(current.find("over the boundary"), std::string::npos);
    EXPECT_EQ(current.find("at the boundary"), std::string::npos);
    unlink((path + ".1").c_str());
}

TEST(LoggerRotation, ShiftsExistingGenerations) {
    const struct {
        std::vector<int> present;          // 0 = the file itself
        std::vector<int> expected;         // generations holding content afterwards
        std::map<int, std::string> moved;  // generation -> content it must hold
    } cases[] = {
        {{0, 1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}, {{1, "g0"}, {2, "g1"}, {5, "g4"}}},
        {{0, 3}, {1, 4}, {{1, "g0"}, {4, "g3"}}},
        {{0}, {1}, {{1, "g0"}}},
        {{2}, {3}, {{3, "g2"}}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string name = dir.file("app.log");
        auto gen = [&](int k) { return k == 0 ? name : name + "." + std::to_string(k); };
        for (int k : c.present) {
            WriteFile(gen(k), "g" + std::to_string(k));
        }
        EXPECT_TRUE(CVORNLogger::RotateFiles(name));
        for (int k = 0; k <= 6; ++k) {
            const bool expected =
                std::find(c.expected.begin(), c.expected.end(), k) != c.expected.end();
            EXPECT_EQ(FileExists(gen(k)), expected) << "generation " << k;
        }
        for (const auto& [k, content] : c.moved) {
            EXPECT_EQ(ReadFile(gen(k)), content);
        }
    }
}

TEST(LoggerRotation, StopsAtTheFirstFailure) {
    TempDir dir;
    const std::string name = dir.file("app.log");
    WriteFile(name, "g0");
    WriteFile(name + ".1", "g1");
    // The oldest generation cannot be removed (a non-empty directory), so
    // nothing else may move.
    ASSERT_EQ(mkdir((name + ".5").c_str(), 0700), 0);
    WriteFile(name + ".5/keep", "x");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(CVORNLogger::RotateFiles(name));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Remove  failed for " + name + ".5\n");
    EXPECT_EQ(ReadFile(name), "g0");
    EXPECT_EQ(ReadFile(name + ".1"), "g1");
    EXPECT_FALSE(FileExists(name + ".2"));
}

}  // namespace
