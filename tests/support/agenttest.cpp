#include "tests/support/agenttest.h"

#include <sys/stat.h>

#include "tests/support/cloudservice.h"

namespace vorn::test {

std::string MachineFixture(const std::string& name) {
    return std::string(VORN_TEST_DATA_DIR) + "/machines/" + name;
}

AgentTest::AgentTest(const std::string& settings) {
    // Every local user may reach the socket, as under /run/vorn.
    ::chmod(m_run.path().c_str(), 0755);
    WriteFile(m_reg.file("vorn.reg"), DataDirRegFile(m_data.path() + "/"));
    WriteFile(m_config.file("id.json"), settings);
}

void AgentTest::WriteBusinessData(const std::string& businessId, const std::string& installerKey,
                                  const std::string& url) {
    WriteFile(m_config.file("bs.json"), R"({"id":{"business_id":")" + businessId +
                                            R"(","installer_key":")" + installerKey +
                                            R"(","url":")" + url + R"("}})");
}

std::map<std::string, std::string> AgentTest::AgentEnv(const std::string& machine) const {
    return {{"VORN_REGISTRY_DIR", m_reg.path()},
            {"VORN_SYSROOT", MachineFixture(machine)},
            {"SSL_CERT_FILE", CloudServiceCertificates().file("ca.pem")}};
}

ChildProcess::Options AgentTest::AgentOptions(const std::string& machine) const {
    ChildProcess::Options options;
    options.args = {BinaryPath("vorn"), "--config-path", m_config.path(), "--socket", SocketPath()};
    options.env = AgentEnv(machine);
    options.workingDirectory = m_cwd.path();
    return options;
}

std::unique_ptr<ChildProcess> AgentTest::StartReady(const ChildProcess::Options& options,
                                                    std::chrono::milliseconds wait) {
    const size_t logged = Log().size();
    auto agent = std::make_unique<ChildProcess>(options);
    EXPECT_TRUE(WaitUntil(
        [&] { return Log().find("Registered refresh token handler", logged) != std::string::npos; },
        wait))
        << Log() << agent->Stderr();
    return agent;
}

void AgentTest::StopAgent(std::unique_ptr<ChildProcess>& agent, std::chrono::milliseconds wait) {
    agent->CloseStdin();
    const auto status = agent->Wait(wait);
    ASSERT_TRUE(status.has_value()) << "the agent did not stop";
    EXPECT_EQ(ExitCode(*status), 0) << agent->Stderr();
    agent.reset();
}

std::string AgentTest::Log() const {
    const std::string path = m_data.file("vornagent.log");
    return FileExists(path) ? ReadFile(path) : std::string();
}

}  // namespace vorn::test
