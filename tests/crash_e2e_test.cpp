// The real agent installs crash handling at start-up: a fatal signal leaves a
// dump in its data directory and still ends it with that signal.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <string>

#include "tests/support/testsupport.h"

namespace vorn::test {
namespace {

using namespace std::chrono_literals;

TEST(AgentCrash, FatalSignalLeavesADumpInTheDataDirectory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "crash handling is not tested under a sanitizer, which claims the same "
                    "signals";
#endif
    TempDir reg, data, config, cwd;
    WriteFile(reg.file("vorn.reg"), DataDirRegFile(data.path() + "/"));
    WriteFile(config.file("bs.json"),
              R"({"id":{"business_id":"b","installer_key":"k","url":"https://127.0.0.1:9/x"}})");
    WriteFile(config.file("id.json"), R"({"id":{"enable_verbose_logs":false}})");
    ChildProcess::Options options;
    options.args = {BinaryPath("vorn"), "--config-path", config.path()};
    options.env = {{"VORN_REGISTRY_DIR", reg.path()}, {"VORN_SYSROOT", data.path()}};
    options.workingDirectory = cwd.path();
    ChildProcess agent(options);
    const auto log = [&] {
        return FileExists(data.file("vornagent.log")) ? ReadFile(data.file("vornagent.log")) : "";
    };
    ASSERT_TRUE(WaitUntil(
        [&] { return log().find("VORN agent main thread is starting") != std::string::npos; }, 10s))
        << log();
    EXPECT_NE(log().find("Dump directory [" + data.path() + "/]"), std::string::npos);

    agent.Signal(SIGSEGV);
    const auto status = agent.Wait(20s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGSEGV) << *status;
    int cores = 0;
    if (DIR* dir = opendir(data.path().c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            cores += name.size() > 5 && name.compare(name.size() - 5, 5, ".core") == 0;
        }
        closedir(dir);
    }
    EXPECT_EQ(cores, 1);
    EXPECT_NE(log().find("Crash Dump Created"), std::string::npos) << log();
}

}  // namespace
}  // namespace vorn::test
