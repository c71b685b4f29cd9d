// Crash handling: set-up results and log lines in this process; real crashes
// in child processes (tests/support/crashchild.cpp), with and without a crash
// server, checked through the dump gdb reads, the log and the exit status.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "agent/linux/crashhandlerclient.h"
#include "agent/linux/crashserverprotocol.h"
#include "common/vornutils.h"
#include "tests/support/crashserverstandin.h"
#include "tests/support/testsupport.h"

namespace vorn::test {
namespace {

using namespace std::chrono_literals;

// A crash handler and a sanitizer both claim SIGSEGV; the sanitizer's report
// replaces the dump, so these tests only mean something in normal builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#define SKIP_IF_SANITIZED()                                                             \
    if (kSanitized) {                                                                   \
        GTEST_SKIP() << "crash handling is not tested under a sanitizer, which claims " \
                        "the same signals";                                             \
    }

const char* const kGdb = "/usr/bin/gdb";

std::string UniqueServerName(const std::string& tag) {
    static int counter = 0;
    return "VORN_TEST_CRASH_" + tag + "_" + std::to_string(getpid()) + "_" +
           std::to_string(++counter);
}

std::vector<std::string> CoreFiles(const std::string& directory) {
    std::vector<std::string> files;
    if (DIR* dir = opendir(directory.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".core") == 0) {
                files.push_back(directory + "/" + name);
            }
        }
        closedir(dir);
    }
    return files;
}

struct ChildResult {
    int status = 0;
    std::string log;
    std::string out;
};

// Runs crashchild: kind, dump directory, optional server name, ack bound and
// a first directory to be replaced.
ChildResult RunCrashChild(const TempDir& scratch, const std::string& kind,
                          const std::string& dumpDirectory, const std::string& server = "-",
                          int ackMs = 5000, const std::string& firstDirectory = "") {
    ChildProcess::Options options;
    options.args = {
        BinaryPath("crashchild"), kind, scratch.file("child.log"), dumpDirectory, server,
        std::to_string(ackMs)};
    if (!firstDirectory.empty()) {
        options.args.push_back(firstDirectory);
    }
    options.workingDirectory = scratch.path();
    options.stdinMode = ChildProcess::Stdin::DevNull;
    ChildProcess child(options);
    const std::optional<int> status = child.Wait(20s);
    EXPECT_TRUE(status.has_value()) << "crashchild " << kind << " did not end";
    ChildResult result;
    result.status = status.value_or(0);
    result.log = FileExists(scratch.file("child.log")) ? ReadFile(scratch.file("child.log")) : "";
    result.out = child.Stdout() + child.Stderr();
    return result;
}

std::string Backtrace(const std::string& core) {
    ChildProcess::Options options;
    options.args = {kGdb,
                    "-batch",
                    "-nx",
                    "-iex",
                    "set debuginfod enabled off",
                    "-ex",
                    "bt",
                    BinaryPath("crashchild"),
                    core};
    options.stdinMode = ChildProcess::Stdin::DevNull;
    ChildProcess gdb(options);
    EXPECT_TRUE(gdb.Wait(60s).has_value()) << "gdb did not finish";
    return gdb.Stdout() + gdb.Stderr();
}

bool DiedBy(int status, int signo) {
    return WIFSIGNALED(status) && WTERMSIG(status) == signo;
}

TEST(CrashHandlerClientTest, EmptyDirectoryInstallsNothing) {
    const size_t mark = LogMark();
    CrashHandlerClient client(L"", 2);
    EXPECT_FALSE(client.SetupCrashHandler());
    EXPECT_EQ(LogSince(mark).find("Dump directory"), std::string::npos);

    SKIP_IF_SANITIZED();
    TempDir scratch;
    const ChildResult child = RunCrashChild(scratch, "abort", "");
    EXPECT_NE(child.out.find("setup=0"), std::string::npos) << child.out;
    EXPECT_TRUE(DiedBy(child.status, SIGABRT)) << child.status;
    EXPECT_TRUE(CoreFiles(scratch.path()).empty());
    EXPECT_EQ(child.log.find("Crash Dump Created"), std::string::npos);
}

TEST(CrashHandlerClientTest, SetupLogsDirectoryAndWhetherTheServerTookIt) {
    TempDir dumps;
    {
        const size_t mark = LogMark();
        CrashHandlerClient client(UTF8ToWide(dumps.path()), 2,
                                  CrashServerOptions{UniqueServerName("none"), 500, 500});
        EXPECT_TRUE(client.SetupCrashHandler());
        const std::string log = LogSince(mark);
        EXPECT_NE(log.find("S: debug :: Dump directory [" + dumps.path() + "]"), std::string::npos)
            << log;
        EXPECT_NE(log.find("f: CrashHandlerClient::SetupCrashHandler S: warning :: OOP Not "
                           "created. Crashes will be handled locally"),
                  std::string::npos)
            << log;
    }
    {
        const std::string name = UniqueServerName("up");
        CrashServerStandIn server(name, dumps.path(), CrashServerStandIn::Behaviour::eWriteDumps);
        const size_t mark = LogMark();
        CrashHandlerClient client(UTF8ToWide(dumps.path()), 2, CrashServerOptions{name, 2000, 500});
        EXPECT_TRUE(client.SetupCrashHandler());
        EXPECT_NE(LogSince(mark).find("S: debug ::  OOP Crash Handler Created"), std::string::npos)
            << LogSince(mark);
        EXPECT_EQ(server.Registrations(), 1);
    }
}

// A socket bound by another user may not receive our memory.
TEST(CrashHandlerClientTest, ServerOfAnotherUserIsNotTrusted) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to bind a socket as another user";
    }
    const std::string name = UniqueServerName("foreign");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Only system calls here: the parent has threads.
        close(ready[0]);
        struct sockaddr_un address {};
        const socklen_t length = MakeCrashServerAddress(name.c_str(), &address);
        const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        if (setgid(65534) != 0 || setuid(65534) != 0 ||
            bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 4) != 0) {
            _exit(1);
        }
        (void)!write(ready[1], "r", 1);
        sleep(30);
        _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);

    TempDir dumps;
    const size_t mark = LogMark();
    CrashHandlerClient client(UTF8ToWide(dumps.path()), 2, CrashServerOptions{name, 500, 500});
    EXPECT_TRUE(client.SetupCrashHandler());
    EXPECT_NE(LogSince(mark).find("OOP Not created. Crashes will be handled locally"),
              std::string::npos);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

struct CrashCase {
    const char* kind;
    const char* function;  // must appear in gdb's backtrace
    int signo;
};

const CrashCase kCrashCases[] = {
    {"segv", "CrashByNullDereference", SIGSEGV},
    {"abort", "CrashByAbort", SIGABRT},
    {"terminate", "CrashByTerminate", SIGABRT},
    {"purevirtual", "CrashByPureVirtualCall", SIGABRT},
};

void ExpectReadableDump(const std::string& core, const CrashCase& c) {
    if (access(kGdb, X_OK) != 0) {
        std::cout << "gdb missing: the dump's backtrace is not checked\n";
        return;
    }
    const std::string bt = Backtrace(core);
    EXPECT_NE(bt.find(c.function), std::string::npos) << c.kind << ":\n" << bt;
}

TEST(CrashHandlerClientTest, EachCrashKindLeavesADumpInProcess) {
    SKIP_IF_SANITIZED();
    for (const CrashCase& c : kCrashCases) {
        SCOPED_TRACE(c.kind);
        TempDir scratch;
        TempDir dumps;
        const ChildResult child = RunCrashChild(scratch, c.kind, dumps.path());
        EXPECT_TRUE(DiedBy(child.status, c.signo)) << child.status << " " << child.out;
        const std::vector<std::string> cores = CoreFiles(dumps.path());
        ASSERT_EQ(cores.size(), 1u) << child.out << child.log;
        EXPECT_NE(child.log.find("OOP Not created. Crashes will be handled locally"),
                  std::string::npos);
        const size_t created = child.log.find(
            "f: CrashHandlerClient::CrashHandled S: debug :: "
            "Crash Dump Created");
        const size_t local = child.log.find(
            "f: CrashHandlerClient::CrashHandled S: warning :: Crash was not created OOP. Dump "
            "not updated");
        EXPECT_NE(created, std::string::npos) << child.log;
        EXPECT_NE(local, std::string::npos) << child.log;
        EXPECT_LT(created, local);
        struct stat st {};
        ASSERT_EQ(stat(cores[0].c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        ExpectReadableDump(cores[0], c);
    }
}

TEST(CrashHandlerClientTest, EachCrashKindIsDumpedByTheServer) {
    SKIP_IF_SANITIZED();
    for (const CrashCase& c : kCrashCases) {
        SCOPED_TRACE(c.kind);
        TempDir scratch;
        TempDir dumps;
        TempDir serverDumps;
        const std::string name = UniqueServerName("oop");
        CrashServerStandIn server(name, serverDumps.path(),
                                  CrashServerStandIn::Behaviour::eWriteDumps);
        const ChildResult child = RunCrashChild(scratch, c.kind, dumps.path(), name);
        EXPECT_TRUE(DiedBy(child.status, c.signo)) << child.status << " " << child.out;
        EXPECT_TRUE(CoreFiles(dumps.path()).empty());
        const std::vector<std::string> cores = CoreFiles(serverDumps.path());
        ASSERT_EQ(cores.size(), 1u) << child.log;
        EXPECT_NE(child.log.find(" OOP Crash Handler Created"), std::string::npos);
        EXPECT_NE(child.log.find("Crash Dump Created"), std::string::npos) << child.log;
        EXPECT_EQ(child.log.find("Crash was not created OOP"), std::string::npos);
        ExpectReadableDump(cores[0], c);
    }
}

TEST(CrashHandlerClientTest, SilentServerFallsBackToInProcessDumpInBoundedTime) {
    SKIP_IF_SANITIZED();
    TempDir scratch;
    TempDir dumps;
    const std::string name = UniqueServerName("silent");
    CrashServerStandIn server(name, dumps.path(), CrashServerStandIn::Behaviour::eNeverAcknowledge);
    const auto start = std::chrono::steady_clock::now();
    const ChildResult child = RunCrashChild(scratch, "segv", dumps.path(), name, 300);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_TRUE(DiedBy(child.status, SIGSEGV)) << child.status;
    EXPECT_EQ(server.CrashRequests(), 1);
    EXPECT_EQ(CoreFiles(dumps.path()).size(), 1u);
    EXPECT_NE(child.log.find(" OOP Crash Handler Created"), std::string::npos);
    EXPECT_NE(child.log.find("Crash was not created OOP. Dump not updated"), std::string::npos);
}

TEST(CrashHandlerClientTest, SecondSetupReplacesTheFirst) {
    SKIP_IF_SANITIZED();
    TempDir scratch;
    TempDir first;
    TempDir second;
    const ChildResult child = RunCrashChild(scratch, "segv", second.path(), "-", 500, first.path());
    EXPECT_NE(child.out.find("first=1"), std::string::npos);
    EXPECT_TRUE(DiedBy(child.status, SIGSEGV)) << child.status;
    EXPECT_TRUE(CoreFiles(first.path()).empty());
    EXPECT_EQ(CoreFiles(second.path()).size(), 1u);
    // One handler, one report.
    const size_t created = child.log.find("Crash Dump Created");
    ASSERT_NE(created, std::string::npos);
    EXPECT_EQ(child.log.find("Crash Dump Created", created + 1), std::string::npos);
}

TEST(CrashHandlerClientTest, MissingDirectoryStillDiesByTheSignal) {
    SKIP_IF_SANITIZED();
    TempDir scratch;
    const std::string missing = scratch.file("no/such/dir");
    const ChildResult child = RunCrashChild(scratch, "segv", missing);
    EXPECT_TRUE(DiedBy(child.status, SIGSEGV)) << child.status;
    EXPECT_TRUE(CoreFiles(scratch.path()).empty());
    EXPECT_NE(child.log.find("S: error :: Crash Dump could not be written to [" + missing + "]"),
              std::string::npos)
        << child.log;
    EXPECT_EQ(child.log.find("Crash Dump Created"), std::string::npos);
}

}  // namespace
}  // namespace vorn::test
