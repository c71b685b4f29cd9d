// The real agent binary as a supervising process sees it: exit codes, the
// termination protocol and the start-up log.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

#include "tests/support/agenttest.h"
#include "tests/support/testsupport.h"

using namespace std::chrono_literals;
using vorn::test::BinaryPath;
using vorn::test::ChildProcess;
using vorn::test::DataDirRegFile;
using vorn::test::ExitCode;
using vorn::test::FileExists;
using vorn::test::ReadFile;
using vorn::test::TempDir;
using vorn::test::WaitUntil;
using vorn::test::WriteFile;

namespace {

class AgentProcess : public vorn::test::AgentTest {
protected:
    AgentProcess() : AgentTest(R"({"id":{"enable_verbose_logs":false}})") {
        WriteBusinessData("b", "k", "https://127.0.0.1:9/x");
    }

    std::unique_ptr<ChildProcess> Start(std::vector<std::string> args,
                                        ChildProcess::Stdin stdinMode = ChildProcess::Stdin::Pipe) {
        args.insert(args.begin(), BinaryPath("vorn"));
        ChildProcess::Options options;
        options.args = args;
        options.env = {{"VORN_REGISTRY_DIR", m_reg.path()}, {"VORN_SYSROOT", m_data.path()}};
        options.workingDirectory = m_cwd.path();
        options.stdinMode = stdinMode;
        return std::make_unique<ChildProcess>(options);
    }

    bool Started() const {
        return Log().find("VORN agent main thread is starting") != std::string::npos;
    }
};

TEST_F(AgentProcess, UsageErrorsExitOneWithTheUsageInTheLog) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{"--config-path"}}) {
        auto child = Start(args);
        const auto status = child->Wait(10s);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(ExitCode(*status), 1);
        EXPECT_NE(Log().find("S: error :: Error: not enough arguments.\nUsage: vorn.exe "
                             "--config-path PathToJSONConfigDirectory \n"),
                  std::string::npos);
        EXPECT_EQ(Log().find("main thread is starting"), std::string::npos);
    }
}

TEST_F(AgentProcess, StopsCleanlyOnEveryTerminationRequest) {
    enum class How { WriteByte, CloseStdin, Sigterm, SigtermWithDevNull, Sigint };
    for (How how :
         {How::WriteByte, How::CloseStdin, How::Sigterm, How::SigtermWithDevNull, How::Sigint}) {
        auto child = Start({"--config-path", m_config.path()}, how == How::SigtermWithDevNull
                                                                   ? ChildProcess::Stdin::DevNull
                                                                   : ChildProcess::Stdin::Pipe);
        ASSERT_TRUE(WaitUntil([&] { return Started(); }, 10s)) << Log();
        if (how == How::SigtermWithDevNull) {
            // /dev/null gives end of file at once; that must not stop the agent.
            EXPECT_FALSE(child->Wait(200ms).has_value());
        }
        const auto requested = std::chrono::steady_clock::now();
        switch (how) {
            case How::WriteByte:
                child->WriteStdin("q");
                break;
            case How::CloseStdin:
                child->CloseStdin();
                break;
            case How::Sigterm:
            case How::SigtermWithDevNull:
                child->Signal(SIGTERM);
                break;
            case How::Sigint:
                child->Signal(SIGINT);
                break;
        }
        const auto status = child->Wait(10s);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(ExitCode(*status), 0) << child->Stderr();
        EXPECT_LT(std::chrono::steady_clock::now() - requested, 1s);
        const std::string log = Log();
        EXPECT_NE(log.find("S: debug :: version: 1.1.34 \n"), std::string::npos);
        EXPECT_NE(log.find("VORN agent main thread is exiting with status: 0"), std::string::npos);
        unlink(m_data.file("vornagent.log").c_str());
    }
}

TEST_F(AgentProcess, ClosedStdinWarnsAndShutsDownAtOnce) {
    auto child = Start({"--config-path", m_config.path()}, ChildProcess::Stdin::Closed);
    const auto status = child->Wait(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(ExitCode(*status), 0);
    EXPECT_NE(Log().find(" f: waitForTermination S: warning :: Failed to get STDIN handle Bad "
                         "file descriptor\n"),
              std::string::npos)
        << Log();
}

TEST_F(AgentProcess, LastConfigPathWinsAndVerboseSwitchApplies) {
    TempDir other;
    // The directory's name is not UTF-8: its bytes are used as given.
    const std::string directory = other.file("conf\xE9");
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    WriteFile(directory + "/bs.json", R"({"id":{}})");
    WriteFile(directory + "/id.json", R"({"id":{"enable_verbose_logs":true}})");
    auto child = Start({"x", "--config-path", m_config.path(), "--CONFIG-PATH", "nope",
                        "--config-path", directory});
    ASSERT_TRUE(WaitUntil([&] { return Started(); }, 10s));
    child->CloseStdin();
    ASSERT_TRUE(child->Wait(10s).has_value());
    const std::string log = Log();
    EXPECT_NE(log.find("VORN Config file path is [" + other.path() + "/conf\\xe9]"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("S: verbose :: Registered refresh token handler"), std::string::npos);
}

TEST_F(AgentProcess, OptionWithoutValueRunsWithEmptyConfiguration) {
    auto child = Start({"x", "--config-path"});
    ASSERT_TRUE(WaitUntil([&] { return Started(); }, 10s));
    child->CloseStdin();
    const auto status = child->Wait(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(ExitCode(*status), 0);
    EXPECT_NE(Log().find("S: error :: Empty Config Directory Path. \n"), std::string::npos);
    EXPECT_EQ(Log().find("verbose ::"), std::string::npos);
}

// Without a usable data directory the agent says so on standard error and
// ends before it writes anything: no log in the working directory, none in a
// directory another user could write or plant files in.
TEST_F(AgentProcess, MissingOrUnsafeDataDirectoryExitsOneWritingNothing) {
    TempDir open, foreign;
    ASSERT_EQ(0, chmod(open.path().c_str(), 0777));
    ASSERT_EQ(0, chown(foreign.path().c_str(), 65534, 65534));
    const std::string dataDir =
        "Windows Registry Editor Version 5.00\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zanto\\Quoralis\\Tessellink\\VORN]\n";
    const struct {
        const char* name;
        std::string reg;  // empty: no registry file
        std::string stderrText;
    } cases[] = {
        {"no key", "",
         "Failed to fetch registry handle.\nFailed to get Program Data path\n"
         "Failed to get VORN Directory Path\nvorn: no data directory is configured"},
        {"expandable string", dataDir + "\"DataDir\"=hex(2):2f,00,00,00\n",
         "Failed to get Program Data path\nFailed to get VORN Directory Path\nvorn: no data"},
        {"empty string", dataDir + "\"DataDir\"=\"\"\n",
         "Failed to get Program Data path\nFailed to get VORN Directory Path\nvorn: no data"},
        {"missing", DataDirRegFile(m_data.path() + "/missing/dir/"),
         "vorn: data directory " + m_data.path() +
             "/missing/dir/ refused: it cannot be examined: No such file or directory"},
        {"writable by all", DataDirRegFile(open.path() + "/"),
         "vorn: data directory " + open.path() + "/ refused: it is owned by uid " +
             std::to_string(geteuid()) + " with mode 0777"},
    };
    for (const auto& c : cases) {
        unlink(m_reg.file("vorn.reg").c_str());
        if (!c.reg.empty()) {
            WriteFile(m_reg.file("vorn.reg"), c.reg);
        }
        auto child = Start({"--config-path", m_config.path()});
        const auto status = child->Wait(10s);
        ASSERT_TRUE(status.has_value()) << c.name;
        EXPECT_EQ(ExitCode(*status), 1) << c.name;
        EXPECT_EQ(child->Stderr().substr(0, c.stderrText.size()), c.stderrText)
            << c.name << ": " << child->Stderr();
        EXPECT_FALSE(FileExists(m_cwd.file("vornagent.log"))) << c.name;
        EXPECT_FALSE(FileExists(open.file("vornagent.log"))) << c.name;
    }

    // Another user's directory, with a log file planted for the agent to fill.
    if (geteuid() == 0) {
        WriteFile(foreign.file("vornagent.log"), "");
        ASSERT_EQ(0, chmod(foreign.file("vornagent.log").c_str(), 0666));
        WriteFile(m_reg.file("vorn.reg"), DataDirRegFile(foreign.path() + "/"));
        auto child = Start({"--config-path", m_config.path()});
        const auto status = child->Wait(10s);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(ExitCode(*status), 1);
        EXPECT_NE(std::string::npos, child->Stderr().find("is owned by uid 65534"))
            << child->Stderr();
        EXPECT_EQ("", ReadFile(foreign.file("vornagent.log"))) << "the planted log was written";
    }
}

// A FIFO (or a link) planted as the log file is refused at once: the agent
// neither blocks in open() nor writes through the link.
TEST_F(AgentProcess, LogFileThatIsNotARegularFileExitsOne) {
    const std::string log = m_data.file("vornagent.log");
    const struct {
        const char* name;
        std::function<int()> plant;
    } cases[] = {
        {"fifo", [&] { return mkfifo(log.c_str(), 0600); }},
        {"link", [&] { return symlink(m_cwd.file("elsewhere").c_str(), log.c_str()); }},
    };
    for (const auto& c : cases) {
        unlink(log.c_str());
        ASSERT_EQ(c.plant(), 0) << c.name;
        auto child = Start({"--config-path", m_config.path()});
        const auto status = child->Wait(10s);
        ASSERT_TRUE(status.has_value()) << c.name;
        EXPECT_EQ(ExitCode(*status), 1) << c.name;
        EXPECT_EQ(child->Stderr(), "Fatal error: Failed to create/open file : " + log + "\n")
            << c.name;
        EXPECT_FALSE(vorn::test::FileExists(m_cwd.file("elsewhere"))) << c.name;
    }
    unlink(log.c_str());
}

}  // namespace
