// The base of the tests that run the real agent: its registry, data,
// configuration and working directories, the configuration files it reads,
// and how a supervisor starts and stops it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "tests/support/testsupport.h"

namespace vorn::test {

// The machine fixture under tests/data/machines with this name.
std::string MachineFixture(const std::string& name);

class AgentTest : public ::testing::Test {
protected:
    // Verbose logs and no local-refresh spacing, so a test can refresh at will.
    static constexpr const char* kQuickSettings =
        R"({"id":{"enable_verbose_logs":true,"min_refresh_interval_seconds":0}})";

    // Writes the registry hive naming the data directory, and id.json.
    explicit AgentTest(const std::string& settings = kQuickSettings);

    // bs.json: the business data and the service URL.
    void WriteBusinessData(const std::string& businessId, const std::string& installerKey,
                           const std::string& url);

    // The agent's environment: this test's registry, the machine fixture as
    // the system root, and the test cloud's CA as the only trusted one.
    std::map<std::string, std::string> AgentEnv(const std::string& machine = "workstation") const;
    // "vorn --config-path <config> --socket <SocketPath()>" with AgentEnv, in
    // the working directory.
    ChildProcess::Options AgentOptions(const std::string& machine = "workstation") const;

    // Starts the agent and waits until it serves refreshes (its log says the
    // refresh handler is registered); a failed wait is a test failure.
    std::unique_ptr<ChildProcess> StartReady(const ChildProcess::Options& options,
                                             std::chrono::milliseconds wait);
    std::unique_ptr<ChildProcess> StartReady() {
        return StartReady(AgentOptions(), std::chrono::seconds(20));
    }

    // Closes the agent's standard input, the supervisor's stop request, and
    // expects exit code 0 within 'wait'.
    static void StopAgent(std::unique_ptr<ChildProcess>& agent,
                          std::chrono::milliseconds wait = std::chrono::seconds(20));

    // The agent's log; empty while there is none.
    std::string Log() const;
    std::string StorePath() const { return m_data.file("vornstore.json"); }
    // The agent's local socket, in a directory of its own (0755).
    std::string SocketPath() const { return m_run.file("vorn.sock"); }

    TempDir m_reg, m_data, m_config, m_cwd, m_run;
};

}  // namespace vorn::test
