#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/vornlogger.h"
#include "common/vornutils.h"
#include "tests/support/fdatasynctrace.h"
#include "tests/support/testsupport.h"

using vorn::test::FileExists;
using vorn::test::InodeOf;
using vorn::test::LogMark;
using vorn::test::LogSince;
using vorn::test::ReadFile;
using vorn::test::SyncedSizes;
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

// Fields of every length up to past the short-copy sizes arrive whole and
// unpadded (the prefix copies short and long fields differently).
TEST_F(LoggerTest, FieldsOfEveryLengthArriveWhole) {
    const std::string letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMN";
    for (size_t n = 0; n <= letters.size(); ++n) {
        const std::string name = letters.substr(0, n);
        const size_t mark = LogMark();
        VORN_LOG_AS(CVORNLogger::kError, name.c_str(), "%s|", name.c_str());
        const std::string expected = " f: " + name + " S: error :: " + name + "| \n";
        const std::string text = LogSince(mark);
        ASSERT_GE(text.size(), expected.size()) << n;
        EXPECT_EQ(text.substr(text.size() - expected.size()), expected) << n;
    }
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

TEST_F(LoggerTest, LongLinesAreCutAt4095CharactersAndKeepTheirNewline) {
    const struct {
        const char* name;
        std::string message;
    } cases[] = {
        {"ascii", std::string(5000, 'x')},
        // Two-byte characters: one of them straddles the cut at some offset.
        {"two-byte",
         [] {
             std::string text;
             for (int i = 0; i < 2600; ++i) {
                 text += "\xC3\xA9";
             }
             return text;
         }()},
        {"three-byte",
         [] {
             std::string text;
             for (int i = 0; i < 1700; ++i) {
                 text += "\xE2\x82\xAC";
             }
             return text;
         }()},
    };
    for (const auto& c : cases) {
        const size_t mark = LogMark();
        VORN_LOG_DEBUG("%s", c.message.c_str());
        VORN_LOG_DEBUG("next");
        const std::string text = LogSince(mark);
        const size_t firstEnd = text.find('\n');
        ASSERT_NE(firstEnd, std::string::npos) << c.name;
        EXPECT_LE(firstEnd + 1, 4095u) << c.name;
        EXPECT_GE(firstEnd + 1, 4093u) << c.name;  // at most a split character is dropped
        // The cut line holds whole characters only, and the next line starts afresh.
        EXPECT_FALSE(vorn::UTF8ToWide(text.substr(0, firstEnd)).empty()) << c.name;
        EXPECT_EQ(text.compare(firstEnd + 1, 1, "["), 0) << c.name;
        EXPECT_NE(text.find(":: next \n", firstEnd), std::string::npos) << c.name;
    }
}

// Every line of a log text: layout intact, newline-terminated.
void ExpectWholeLines(const std::string& text) {
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << "torn last line";
    std::istringstream lines(text);
    std::string line;
    const std::regex layout(R"(^\[[^\]]{1,24}\] T: [0-9A-F]+ F: \S+ L: \d+ f: \S+ S: \w+ :: .* $)");
    while (std::getline(lines, line)) {
        EXPECT_TRUE(std::regex_match(line, layout)) << "torn line: " << line;
    }
}

// Checks a log written as: "before", 'during' lines of which some could not
// be written, then "after" once writing worked again.
void ExpectLostLinesCounted(const std::string& text, int during) {
    ExpectWholeLines(text);
    EXPECT_NE(text.find(":: before \n"), std::string::npos) << text;
    const std::regex note(
        R"(S: warning :: (\d+) log lines were lost: the log file could not be written \n[^\n]*:: after \n$)");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(text, match, note)) << text;
    const int lost = std::stoi(match[1]);
    int written = 0;
    for (size_t at = text.find(":: during "); at != std::string::npos;
         at = text.find(":: during ", at + 1)) {
        ++written;
    }
    EXPECT_GE(lost, 1);
    EXPECT_EQ(lost + written, during) << text;
    EXPECT_EQ(text.find("were lost"), text.rfind("were lost")) << "one note only";
}

constexpr int kDuringLines = 40;

// Logs 'total' lines, split over 'threads' threads at once.
void LogDuringLines(int threads = 1, int total = kDuringLines) {
    const std::string padding(300, 'p');
    auto body = [&padding](int first, int count) {
        for (int i = first; i < first + count; ++i) {
            VORN_LOG_DEBUG("during %d %s", i, padding.c_str());
        }
    };
    std::vector<std::thread> workers;
    workers.reserve(static_cast<size_t>(threads));
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back(body, t * (total / threads), total / threads);
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
}

// A file size limit fails writes the way a full disk does (a short write,
// then errors) and needs no privileges.
TEST_F(LoggerTest, LinesLostToAFileSizeLimitAreCountedAndNoneIsTorn) {
    const struct {
        int threads;
        int lines;
    } cases[] = {{1, kDuringLines}, {4, 400}};
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    for (const auto& c : cases) {
        VORN_LOG_DEBUG("settle");  // any pending rotation happens now
        const size_t mark = LogMark();
        rlimit limited = saved;
        limited.rlim_cur = mark + 1500;  // room for a few lines, the last one cut short
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);

        VORN_LOG_DEBUG("before");
        LogDuringLines(c.threads, c.lines);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
        VORN_LOG_DEBUG("after");

        SCOPED_TRACE(c.threads);
        ExpectLostLinesCounted(LogSince(mark), c.lines);
    }
    sigaction(SIGXFSZ, &previous, nullptr);
}

// The same on a real file system that fills up: a small tmpfs mounted over
// the log's directory in a private mount namespace of a child process.
TEST_F(LoggerTest, LinesLostToAFullDiskAreCountedAfterSpaceIsFreed) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to mount a small tmpfs in a private mount namespace";
    }
    const std::string logPath = TestLogPath();
    const std::string directory = logPath.substr(0, logPath.rfind('/'));
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", directory.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0) {
            _exit(77);
        }
        // The log's file is hidden by the mount: the logger starts a new one there.
        VORN_LOG_DEBUG("before");
        const std::string filler = directory + "/filler";
        const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        char block[4096] = {};
        while (fd >= 0 && write(fd, block, sizeof block) > 0) {
        }
        while (fd >= 0 && write(fd, block, 1) > 0) {
        }
        LogDuringLines();
        close(fd);
        unlink(filler.c_str());
        VORN_LOG_DEBUG("after");
        const std::string text = ReadFile(logPath);
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = write(pipeFds[1], text.data() + done, text.size() - done);
            if (n <= 0) {
                _exit(1);
            }
            done += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(pipeFds[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "cannot mount a tmpfs in a private mount namespace here";
    }
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ExpectLostLinesCounted(text, kDuringLines);
}

TEST(LoggerOpen, OnlyRegularFilesAreOpenedAndNewOnesArePrivate) {
    TempDir dir;
    WriteFile(dir.file("target"), "");
    ASSERT_EQ(symlink(dir.file("target").c_str(), dir.file("link").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("nowhere").c_str(), dir.file("dangling").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(dir.file("directory").c_str(), 0700), 0);
    WriteFile(dir.file("existing"), "kept\n");
    const struct {
        const char* name;
        bool opens;
    } cases[] = {
        {"new", true},       {"existing", true}, {"link", false},
        {"dangling", false}, {"fifo", false},    {"directory", false},
    };
    const mode_t oldMask = umask(0);
    for (const auto& c : cases) {
        const int fd = CVORNLogger::OpenLogFile(dir.file(c.name));
        EXPECT_EQ(fd >= 0, c.opens) << c.name;
        if (fd >= 0) {
            ASSERT_EQ(write(fd, "x\n", 2), 2);
            close(fd);
        }
    }
    umask(oldMask);
    struct stat st {};
    ASSERT_EQ(stat(dir.file("new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(ReadFile(dir.file("existing")), "kept\nx\n");
    EXPECT_FALSE(FileExists(dir.file("nowhere")));
    EXPECT_EQ(ReadFile(dir.file("target")), "");
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

// What a crash of the machine must not take: an error line, and the lines
// before a rotation, are on the disk before the logger goes on.
TEST_F(LoggerTest, ErrorLinesAndTheFileBeforeARotationAreFlushed) {
    const std::string path = TestLogPath();
    const ino_t log = InodeOf(path);
    const size_t before = SyncedSizes(log).size();
    VORN_LOG_DEBUG("a debug line is left to the file system");
    EXPECT_EQ(SyncedSizes(log).size(), before);
    VORN_LOG_ERROR("an error line is flushed");
    std::vector<off_t> synced = SyncedSizes(log);
    ASSERT_EQ(synced.size(), before + 1);
    EXPECT_EQ(static_cast<size_t>(synced.back()), ReadFile(path).size());
    CVORNLogger::Sync();
    EXPECT_EQ(SyncedSizes(log).size(), before + 2);

    for (int k = 1; k <= 5; ++k) {
        unlink((path + "." + std::to_string(k)).c_str());
    }
    ASSERT_EQ(truncate(path.c_str(), CVORNLogger::kRotateAboveBytes + 1), 0);
    VORN_LOG_DEBUG("after the rotation");
    ASSERT_TRUE(FileExists(path + ".1"));
    synced = SyncedSizes(log);
    ASSERT_FALSE(synced.empty());
    EXPECT_EQ(synced.back(), CVORNLogger::kRotateAboveBytes + 1);
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
