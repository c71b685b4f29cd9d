// The device key end to end: the real agent with "device_key": "tpm" and a
// software TPM per test, against a real vorn-cloud over TLS.
#include <cjson/cJSON.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/agenttest.h"
#include "tests/support/cloudservice.h"
#include "tests/support/swtpm.h"
#include "tests/support/testsupport.h"

namespace vorn::test {
namespace {

using namespace std::chrono_literals;

struct CtlResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class DeviceKeyE2E : public AgentTest {
protected:
    void SetUp() override {
        const std::string why = SoftwareTpm::Unavailable();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        ASSERT_FALSE(CloudServiceCertificates().path().empty());
    }

    // id.json with the device key on, through 'tcti'.
    void UseTpm(const std::string& tcti, int timeoutSeconds = 10) {
        WriteFile(m_config.file("id.json"),
                  R"({"id":{"enable_verbose_logs":true,"min_refresh_interval_seconds":0,)"
                  R"("device_key":"tpm","tpm_tcti":")" +
                      tcti + R"(","tpm_timeout_seconds":)" + std::to_string(timeoutSeconds) + "}}");
    }

    CtlResult Ctl(const std::vector<std::string>& args) const {
        ChildProcess::Options options;
        options.args = {BinaryPath("vornctl")};
        options.args.insert(options.args.end(), args.begin(), args.end());
        if (!args.empty() && args[0] == "refresh") {
            // This agent's own socket, not the system's.
            options.args.insert(options.args.end(), {"--socket", SocketPath()});
        }
        options.env = AgentEnv();
        options.stdinMode = ChildProcess::Stdin::DevNull;
        ChildProcess ctl(options);
        const auto status = ctl.Wait(40s);
        EXPECT_TRUE(status.has_value());
        return {status ? ExitCode(*status) : -1, ctl.Stdout(), ctl.Stderr()};
    }

    std::string StoredVorn() const {
        if (!FileExists(StorePath())) {
            return {};
        }
        std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(
            cJSON_Parse(ReadFile(StorePath()).c_str()), cJSON_Delete);
        const cJSON* vorn = cJSON_GetObjectItem(root.get(), "vorn");
        return cJSON_IsString(vorn) ? vorn->valuestring : "";
    }

    // Starts the agent on 'machine' and waits until its start-up exchange
    // has ended, one way or the other.
    std::unique_ptr<ChildProcess> StartAndWait(const std::string& machine, size_t logged) {
        auto agent = StartReady(AgentOptions(machine), 20s);
        EXPECT_TRUE(WaitUntil(
            [&] {
                const std::string log = Log();
                return log.find("VORN agent received ID response event", logged) !=
                       std::string::npos;
            },
            20s))
            << Log();
        return agent;
    }

    // The store is written after the answer event: wait for the id to be
    // there, and to differ from 'other' when one is given.
    std::string WaitForVorn(const std::string& other = {}) const {
        std::string vorn;
        (void)WaitUntil(
            [&] {
                vorn = StoredVorn();
                return !vorn.empty() && vorn != other;
            },
            10s);
        return vorn;
    }

    std::string KeyPath() const { return m_data.file("vorndevicekey.tpm"); }
};

TEST_F(DeviceKeyE2E, RegistersRefreshesAndKeepsItsKeyAcrossRestarts) {
    SoftwareTpm tpm;
    ASSERT_TRUE(tpm.Running());
    CloudService cloud;
    WriteBusinessData("bid-tpm", "key-tpm", cloud.url());
    UseTpm(tpm.Tcti());

    auto agent = StartAndWait("workstation", 0);
    const std::string vorn = WaitForVorn();
    ASSERT_FALSE(vorn.empty()) << Log() << cloud.Log();
    struct stat st {};
    ASSERT_EQ(stat(KeyPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(cloud.Log().find("bound to device key"), std::string::npos) << cloud.Log();

    const CtlResult refresh = Ctl({"refresh", "--timeout", "20"});
    EXPECT_EQ(refresh.exitCode, 0) << refresh.out << refresh.err << Log();
    EXPECT_EQ(StoredVorn(), vorn);

    const CtlResult status = Ctl({"status", "--config-path", m_config.path()});
    EXPECT_NE(status.out.find("device key:    TPM-bound, fingerprint SHA256:"), std::string::npos)
        << status.out;
    const CtlResult json = Ctl({"status", "--json", "--config-path", m_config.path()});
    EXPECT_NE(json.out.find("\"device_key_bound\":\ttrue"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"device_key_fingerprint\":\t\""), std::string::npos) << json.out;
    StopAgent(agent);

    // The TPM and the agent restart: the key file loads again, same device.
    ASSERT_TRUE(tpm.Restart());
    const size_t logged = Log().size();
    agent = StartAndWait("workstation", logged);
    EXPECT_EQ(StoredVorn(), vorn);
    EXPECT_EQ(Log().find("does not load", logged), std::string::npos) << Log();
    EXPECT_EQ(Log().find("Identity request not sent", logged), std::string::npos) << Log();
    StopAgent(agent);
    EXPECT_EQ(cloud.IdentityRequests(), 3);
}

TEST_F(DeviceKeyE2E, ADataDirectoryCopiedToOtherHardwareIsRefused) {
    CloudService cloud;
    WriteBusinessData("bid-tpm", "key-tpm", cloud.url());
    std::string vorn;
    {
        SoftwareTpm tpm;
        ASSERT_TRUE(tpm.Running());
        UseTpm(tpm.Tcti());
        auto agent = StartAndWait("workstation", 0);
        vorn = WaitForVorn();
        ASSERT_FALSE(vorn.empty()) << Log();
        StopAgent(agent);
    }
    // The same data directory (store and key file) on another machine with
    // its own TPM: the stolen identity is refused and stays unused.
    SoftwareTpm other;
    ASSERT_TRUE(other.Running());
    UseTpm(other.Tcti());
    const size_t logged = Log().size();
    auto agent = StartAndWait("server", logged);
    EXPECT_NE(Log().find("Error response received from  cloud: this device is bound to another "
                         "device key",
                         logged),
              std::string::npos)
        << Log();
    const CtlResult refresh = Ctl({"refresh", "--timeout", "20"});
    EXPECT_EQ(refresh.exitCode, 3) << refresh.out << refresh.err;
    EXPECT_EQ(StoredVorn(), vorn);
    EXPECT_NE(cloud.Log().find("refused device " + vorn), std::string::npos) << cloud.Log();
    StopAgent(agent);
}

TEST_F(DeviceKeyE2E, AClonedImageBecomesADeviceOfItsOwnAndIsFlagged) {
    CloudService cloud;
    WriteBusinessData("bid-tpm", "key-tpm", cloud.url());
    std::string original;
    {
        SoftwareTpm tpm;
        ASSERT_TRUE(tpm.Running());
        UseTpm(tpm.Tcti());
        auto agent = StartAndWait("workstation", 0);
        original = WaitForVorn();
        ASSERT_FALSE(original.empty()) << Log();
        StopAgent(agent);
    }
    // The same image on the same (virtual) hardware with a new vTPM.
    SoftwareTpm fresh;
    ASSERT_TRUE(fresh.Running());
    UseTpm(fresh.Tcti());
    const size_t logged = Log().size();
    auto agent = StartAndWait("workstation", logged);
    const std::string clone = WaitForVorn(original);
    EXPECT_FALSE(clone.empty());
    EXPECT_NE(clone, original);
    EXPECT_NE(Log().find("the TPM was cleared or this is another machine", logged),
              std::string::npos)
        << Log();
    EXPECT_NE(cloud.Log().find("suspected clone of device " + original), std::string::npos)
        << cloud.Log();
    // Its next exchange is an ordinary one for its own id.
    const CtlResult refresh = Ctl({"refresh", "--timeout", "20"});
    EXPECT_EQ(refresh.exitCode, 0) << refresh.out << refresh.err;
    EXPECT_EQ(StoredVorn(), clone);
    StopAgent(agent);
}

// A TPM that accepts and never answers needs no swtpm: these run wherever
// the agent and its TPM helper are built.
class StalledTpmE2E : public DeviceKeyE2E {
protected:
    void SetUp() override { ASSERT_FALSE(CloudServiceCertificates().path().empty()); }

    // The pid of a "vorn-tpm" child of 'parent' (running or not reaped yet),
    // or 0.
    static pid_t HelperUnder(pid_t parent) {
        struct CloseDir {
            void operator()(DIR* dir) const { closedir(dir); }
        };
        std::unique_ptr<DIR, CloseDir> proc(opendir("/proc"));
        while (dirent* entry = proc ? readdir(proc.get()) : nullptr) {
            if (entry->d_name[0] < '1' || entry->d_name[0] > '9') {
                continue;
            }
            std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
            std::string line;
            std::getline(stat, line);
            // "pid (comm) state ppid ...": the name may hold spaces, not ')'.
            const size_t close = line.rfind(')');
            const size_t open = line.find('(');
            if (close == std::string::npos || open == std::string::npos) {
                continue;
            }
            std::istringstream rest(line.substr(close + 1));
            std::string state;
            long ppid = 0;
            rest >> state >> ppid;
            if (ppid == parent && line.substr(open + 1, close - open - 1) == "vorn-tpm") {
                return static_cast<pid_t>(std::stol(entry->d_name));
            }
        }
        return 0;
    }
};

TEST_F(StalledTpmE2E, AStalledTpmEndsInBoundedTimeAndNothingUnboundIsSent) {
    CloudService cloud;
    WriteBusinessData("bid-tpm", "key-tpm", cloud.url());
    SilentTpm silent;
    UseTpm(silent.Tcti(), 1);
    const auto start = std::chrono::steady_clock::now();
    auto agent = StartAndWait("workstation", 0);
    // One answer time of the helper: three command waits and a second.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    const std::string log = Log();
    EXPECT_NE(log.find("Identity request not sent: it cannot be bound to the device key: TPM " +
                       silent.Tcti() + ": the TPM did not answer within"),
              std::string::npos)
        << log;
    const CtlResult refresh = Ctl({"refresh", "--timeout", "20"});
    EXPECT_EQ(refresh.exitCode, 2) << refresh.out << refresh.err;
    EXPECT_EQ(cloud.IdentityRequests(), 0);
    EXPECT_TRUE(StoredVorn().empty());
    StopAgent(agent);
}

TEST_F(StalledTpmE2E, StoppingDuringTheSigningDoesNotWaitForTheTpm) {
    CloudService cloud;
    WriteBusinessData("bid-tpm", "key-tpm", cloud.url());
    SilentTpm silent;
    UseTpm(silent.Tcti(), 10);  // the helper's answer would be awaited for 31 s
    auto agent = StartReady(AgentOptions("workstation"), 20s);
    pid_t helper = 0;
    ASSERT_TRUE(WaitUntil([&] { return (helper = HelperUnder(agent->pid())) != 0; }, 10s)) << Log();

    const auto start = std::chrono::steady_clock::now();
    agent->Signal(SIGTERM);
    const auto status = agent->Wait(40s);
    const long long tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
    ASSERT_TRUE(status.has_value()) << Log();
    EXPECT_EQ(ExitCode(*status), 0) << Log();
    // Within a second; the margin is for a loaded machine.
    EXPECT_LT(tookMs, 3000);
    std::cout << "[ stopped in " << tookMs << " ms ]" << std::endl;
    // The helper was killed and reaped (left behind, it would still wait on
    // the TPM under another parent), and the request never left unbound.
    EXPECT_EQ(kill(helper, 0), -1) << "helper " << helper << " still runs";
    EXPECT_NE(Log().find("the wait for the TPM was cancelled"), std::string::npos) << Log();
    EXPECT_EQ(cloud.IdentityRequests(), 0);
}

}  // namespace
}  // namespace vorn::test
