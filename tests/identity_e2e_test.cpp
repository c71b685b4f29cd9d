// The whole product on loopback: the real agent obtains its identity from a
// real vorn-cloud over TLS, keeps it in its store and refreshes it for local
// clients (vornctl and raw datagrams), including the cloud's refusals.
#include <cjson/cJSON.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/ipcudpclient.h"
#include "tests/support/agenttest.h"
#include "tests/support/cloudservice.h"
#include "tests/support/testsupport.h"

namespace vorn::test {
namespace {

using namespace std::chrono_literals;

const unsigned short kAgentPort = 60110;
const std::string kRequest("\x01\x00", 2);
const std::string kSuccessAnswer("\x02\x00\x01\x00", 4);

struct CtlResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class IdentityE2E : public AgentTest {
protected:
    void SetUp() override { ASSERT_FALSE(CloudServiceCertificates().path().empty()); }

    void PointAt(const std::string& url) { WriteBusinessData("bid-e2e", "key-e2e", url); }

    std::unique_ptr<ChildProcess> StartAgent(const std::string& machine = "workstation") {
        return StartReady(AgentOptions(machine), 10s);
    }

    CtlResult Ctl(const std::vector<std::string>& args,
                  const std::string& machine = "workstation") const {
        ChildProcess::Options options;
        options.args = {BinaryPath("vornctl")};
        options.args.insert(options.args.end(), args.begin(), args.end());
        // The agent under test serves its local socket in the test's directory.
        if (!args.empty() && args[0] == "refresh") {
            options.args.insert(options.args.end(), {"--socket", SocketPath()});
        }
        options.env = AgentEnv(machine);
        options.stdinMode = ChildProcess::Stdin::DevNull;
        ChildProcess ctl(options);
        const auto status = ctl.Wait(40s);
        EXPECT_TRUE(status.has_value());
        return {status ? ExitCode(*status) : -1, ctl.Stdout(), ctl.Stderr()};
    }

    // The store's members; empty when there is no store.
    std::map<std::string, std::string> Store() const {
        std::map<std::string, std::string> values;
        if (!FileExists(m_data.file("vornstore.json"))) {
            return values;
        }
        cJSON* root = cJSON_Parse(ReadFile(m_data.file("vornstore.json")).c_str());
        for (const cJSON* item = root != nullptr ? root->child : nullptr; item != nullptr;
             item = item->next) {
            if (cJSON_IsString(item)) {
                values[item->string] = item->valuestring;
            }
        }
        cJSON_Delete(root);
        return values;
    }

    bool HoldsIdentity() const {
        const auto store = Store();
        return store.count("vorn") && store.count("vorn_token") && store.count("instance_key");
    }
};

TEST_F(IdentityE2E, IdentityObtainedAtStartIsStoredReportedAndRefreshed) {
    CloudService cloud;
    ASSERT_NE(cloud.port(), 0);
    PointAt(cloud.url());
    auto agent = StartAgent();
    ASSERT_TRUE(WaitUntil([&] { return HoldsIdentity(); }, 10s)) << Log();
    EXPECT_EQ(cloud.IdentityRequests(), 1);
    const auto first = Store();

    const CtlResult status = Ctl({"status"});
    EXPECT_EQ(status.exitCode, 0) << status.err;
    EXPECT_NE(status.out.find(first.at("vorn")), std::string::npos) << status.out;
    const CtlResult json = Ctl({"status", "--json"});
    EXPECT_EQ(json.exitCode, 0);
    EXPECT_NE(json.out.find("\"vorn\":\t\"" + first.at("vorn") + "\""), std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("\"identity_held\":\ttrue"), std::string::npos) << json.out;
    // Secrets never leave the store.
    for (const CtlResult& shown : {status, json}) {
        EXPECT_EQ(shown.out.find(first.at("vorn_token")), std::string::npos);
        EXPECT_EQ(shown.out.find(first.at("instance_key")), std::string::npos);
    }

    const CtlResult refresh = Ctl({"refresh", "--timeout", "10"});
    EXPECT_EQ(refresh.exitCode, 0) << refresh.out << refresh.err;
    EXPECT_NE(refresh.out.find("success"), std::string::npos);
    EXPECT_EQ(cloud.IdentityRequests(), 2);
    const auto second = Store();
    EXPECT_EQ(second.at("vorn"), first.at("vorn"));
    EXPECT_EQ(second.at("instance_key"), first.at("instance_key"));
    EXPECT_NE(second.at("vorn_token"), first.at("vorn_token"));  // a fresh token each time
    StopAgent(agent);
}

TEST_F(IdentityE2E, ClientsAskingTogetherShareOneExchangeAndEachRequestIsAnswered) {
    // The delay keeps the refresh pending while every request arrives.
    CloudService cloud("delay_ms=300");
    PointAt(cloud.url());
    auto agent = StartAgent();
    ASSERT_TRUE(WaitUntil([&] { return HoldsIdentity(); }, 10s)) << Log();
    ASSERT_EQ(cloud.IdentityRequests(), 1);

    UdpClient a, b, c;
    for (const UdpClient* client : {&a, &b, &c, &a}) {
        ASSERT_TRUE(client->SendTo(kAgentPort, kRequest));
    }
    for (const UdpClient* client : {&a, &b, &c, &a}) {
        EXPECT_EQ(client->Receive(5s), kSuccessAnswer);
    }
    for (const UdpClient* client : {&a, &b, &c}) {
        EXPECT_EQ(client->Receive(100ms), std::nullopt);
    }
    EXPECT_EQ(cloud.IdentityRequests(), 2);
    StopAgent(agent);
}

TEST_F(IdentityE2E, RateLimitIsStoredAndARestartedAgentWaitsItOutThenAsks) {
    auto busy = std::make_unique<CloudService>("status=503&retry_after=2");
    PointAt(busy->url());
    auto agent = StartAgent();
    ASSERT_TRUE(WaitUntil([&] { return Store().count("retry-after") == 1; }, 10s)) << Log();
    EXPECT_FALSE(HoldsIdentity());
    // The limit is in force: refused without asking the cloud.
    const CtlResult refresh = Ctl({"refresh", "--timeout", "10"});
    EXPECT_EQ(refresh.exitCode, 4) << refresh.out << refresh.err;
    EXPECT_NE(refresh.out.find("rate-limited"), std::string::npos);
    EXPECT_EQ(busy->IdentityRequests(), 1);
    StopAgent(agent);
    busy.reset();

    CloudService cloud;
    PointAt(cloud.url());
    const size_t logged = Log().size();
    agent = StartAgent();
    // The start-up request follows the handler's registration, which is all
    // StartAgent waits for.
    EXPECT_TRUE(WaitUntil(
        [&] { return Log().find("Cloud Rate Limit Hit.", logged) != std::string::npos; }, 5s))
        << Log();
    EXPECT_EQ(cloud.IdentityRequests(), 0);
    ASSERT_TRUE(WaitUntil([&] { return HoldsIdentity(); }, 5s)) << Log();
    EXPECT_EQ(cloud.IdentityRequests(), 1);
    EXPECT_NE(Log().find("Setting timeout for cloud rate limit to", logged), std::string::npos);
    EXPECT_NE(Log().find("Rate Limit Refresh Event after timeout expiry", logged),
              std::string::npos);
    StopAgent(agent);
}

TEST_F(IdentityE2E, FailedRefreshesStoreNothing) {
    const struct {
        const char* name;
        std::string defaultQuery;  // empty: a cloud without faults
        bool unreachable;
        const char* machine;
        int exitCode;
        const char* outcome;
        int cloudRequests;    // after the start-up request and one refresh
        const char* logLine;  // the agent's account of each failure
    } cases[] = {
        {"error answer", "status=401", false, "workstation", 3, "error-response", 2,
         "Error response received from  cloud: "},
        {"cloud unreachable", "", true, "workstation", 2, "comm-error", 0,
         "Error occured in communication with cloud service: "},
        // Without DMI there is no serial number: the request cannot be built.
        {"collection without a serial number", "", false, "nodmi", 2, "comm-error", 0,
         "failed to serialise"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CloudService cloud(c.defaultQuery);
        PointAt(c.unreachable
                    ? "https://127.0.0.1:" + std::to_string(ClosedLoopbackTcpPort()) + "/v1/x"
                    : cloud.url());
        const size_t logged = Log().size();
        auto agent = StartAgent(c.machine);
        // The start-up request fails first; a refresh during it would share
        // its outcome instead of making an exchange of its own.
        ASSERT_TRUE(
            WaitUntil([&] { return Log().find(c.logLine, logged) != std::string::npos; }, 10s))
            << Log();
        const CtlResult refresh = Ctl({"refresh", "--timeout", "10"});
        EXPECT_EQ(refresh.exitCode, c.exitCode) << refresh.out << refresh.err << Log();
        EXPECT_NE(refresh.out.find(c.outcome), std::string::npos) << refresh.out;
        EXPECT_EQ(cloud.IdentityRequests(), c.cloudRequests);
        EXPECT_FALSE(HoldsIdentity());
        EXPECT_EQ(Store().count("vorn"), 0u);
        const CtlResult status = Ctl({"status"});
        EXPECT_EQ(status.exitCode, 1) << status.out << status.err;
        StopAgent(agent);
    }
}

TEST_F(IdentityE2E, SecondStartSendsTheStoredIdentity) {
    CloudService cloud;
    PointAt(cloud.url());
    auto agent = StartAgent();
    ASSERT_TRUE(WaitUntil([&] { return HoldsIdentity(); }, 10s)) << Log();
    StopAgent(agent);
    const auto first = Store();

    agent = StartAgent();
    ASSERT_TRUE(WaitUntil([&] { return Store().at("vorn_token") != first.at("vorn_token"); }, 10s))
        << Log();
    StopAgent(agent);
    // Recognised by its cached id and token: same id, same instance key.
    EXPECT_EQ(Store().at("vorn"), first.at("vorn"));
    EXPECT_EQ(Store().at("instance_key"), first.at("instance_key"));
    EXPECT_EQ(cloud.IdentityRequests(), 2);
    EXPECT_NE(cloud.Log().find("known device " + first.at("vorn")), std::string::npos)
        << cloud.Log();

    // An id the cloud only knows from the cache (issued elsewhere) is kept:
    // proof that the agent sent it.
    const std::string foreign = "0123abcd-0000-4000-8000-00000000beef";
    std::string text = ReadFile(m_data.file("vornstore.json"));
    text.replace(text.find(first.at("vorn")), first.at("vorn").size(), foreign);
    WriteFile(m_data.file("vornstore.json"), text);
    agent = StartAgent();
    ASSERT_TRUE(WaitUntil([&] { return Store().at("vorn") == foreign; }, 10s)) << Log();
    StopAgent(agent);
}

TEST_F(IdentityE2E, VornctlWithoutAgent) {
    const CtlResult refresh = Ctl({"refresh", "--timeout", "1"});
    EXPECT_EQ(refresh.exitCode, 5) << refresh.out << refresh.err;
    EXPECT_FALSE(refresh.err.empty());

    const CtlResult status = Ctl({"status"});
    EXPECT_EQ(status.exitCode, 1) << status.out << status.err;
    const CtlResult json = Ctl({"status", "--json"});
    EXPECT_EQ(json.exitCode, 1);
    EXPECT_NE(json.out.find("\"identity_held\":\tfalse"), std::string::npos) << json.out;

    const CtlResult attributes = Ctl({"attributes"});
    EXPECT_EQ(attributes.exitCode, 0) << attributes.err;
    EXPECT_EQ(attributes.err, "");
    for (const char* section : {"\"hardware\"", "\"os\"", "\"misc\"", "\"serial_number\""}) {
        EXPECT_NE(attributes.out.find(section), std::string::npos) << section << attributes.out;
    }
    EXPECT_EQ(attributes.out.find("\"business\""), std::string::npos);
    cJSON* parsed = cJSON_Parse(attributes.out.c_str());
    EXPECT_NE(parsed, nullptr) << attributes.out;
    cJSON_Delete(parsed);

    for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"},
                                                 {"refresh", "--help"},
                                                 {"status", "--help"},
                                                 {"attributes", "--help"}}) {
        const CtlResult help = Ctl(args);
        EXPECT_EQ(help.exitCode, 0) << args.back();
        EXPECT_NE(help.out.find("Usage: vornctl"), std::string::npos) << help.out;
    }
    const CtlResult usage = Ctl({"refresh", "--bogus"});
    EXPECT_EQ(usage.exitCode, 64);
}

// A store damaged by hand or by a disk is kept aside, and the next answer
// gives the machine its identity again.
TEST_F(IdentityE2E, DamagedStoreIsMovedAsideAndTheNextAnswerStored) {
    CloudService cloud;
    PointAt(cloud.url());
    const std::string damaged = R"({"vorn":"x",)";
    WriteFile(m_data.file("vornstore.json"), damaged);
    auto agent = StartAgent();
    ASSERT_TRUE(WaitUntil([&] { return HoldsIdentity(); }, 10s)) << Log();
    const CtlResult refresh = Ctl({"refresh", "--timeout", "20"});
    EXPECT_EQ(refresh.exitCode, 0) << refresh.out << refresh.err;
    StopAgent(agent);

    std::vector<std::string> copies;
    DIR* listing = opendir(m_data.path().c_str());
    ASSERT_NE(listing, nullptr);
    while (const dirent* entry = readdir(listing)) {
        if (std::string(entry->d_name).rfind("vornstore.json.damaged-", 0) == 0) {
            copies.push_back(entry->d_name);
        }
    }
    closedir(listing);
    ASSERT_EQ(copies.size(), 1u) << Log();
    EXPECT_EQ(copies[0].size(), std::string("vornstore.json.damaged-20261210T000000Z").size());
    EXPECT_EQ(ReadFile(m_data.file(copies[0])), damaged);
    struct stat info {};
    ASSERT_EQ(stat(m_data.file(copies[0]).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_NE(Log().find("does not parse; moved aside to " + m_data.file(copies[0])),
              std::string::npos)
        << Log();
}

// What the store holds came from the network: vornctl shows it escaped, so
// it can neither drive the terminal nor fake a line of the report.
TEST_F(IdentityE2E, VornctlStatusShowsStoredTextEscaped) {
    WriteFile(m_data.file("vornstore.json"),
              R"({"vorn":"\u001b[2J\u001b[Hfake\nidentity:      held \u00e9","vorn_token":"t"})");
    WriteFile(m_data.file("vornstore.json.lck"), "");
    const std::string shown = R"(\x1b[2J\x1b[Hfake\nidentity:      held é)";
    const CtlResult status = Ctl({"status"});
    EXPECT_EQ(status.exitCode, 0) << status.out << status.err;
    EXPECT_NE(status.out.find("vorn id:       " + shown + "\n"), std::string::npos) << status.out;
    EXPECT_EQ(status.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(status.out.find("\nidentity:      held \xc3\xa9"), std::string::npos);

    const CtlResult json = Ctl({"status", "--json"});
    EXPECT_EQ(json.exitCode, 0) << json.err;
    cJSON* parsed = cJSON_Parse(json.out.c_str());
    ASSERT_NE(parsed, nullptr) << json.out;
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(parsed, "vorn")), shown.c_str());
    cJSON_Delete(parsed);
}

// An ordinary user cannot read the store; vornctl says so instead of
// reporting that no identity is held.
TEST_F(IdentityE2E, VornctlStatusWithoutPermissionSaysSo) {
    if (geteuid() != 0 || access("/usr/sbin/runuser", X_OK) != 0) {
        GTEST_SKIP() << "needs root and runuser to run vornctl as nobody";
    }
    ASSERT_EQ(chmod(m_reg.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(m_reg.file("vorn.reg").c_str(), 0644), 0);
    {
        CloudService cloud;
        PointAt(cloud.url());
        auto agent = StartAgent();
        ASSERT_TRUE(WaitUntil([&] { return HoldsIdentity(); }, 10s)) << Log();
        StopAgent(agent);
    }
    const auto asNobody = [&] {
        ChildProcess::Options options;
        options.args = {"/usr/sbin/runuser",
                        "-u",
                        "nobody",
                        "--",
                        "env",
                        "VORN_REGISTRY_DIR=" + m_reg.path(),
                        BinaryPath("vornctl"),
                        "status"};
        options.stdinMode = ChildProcess::Stdin::DevNull;
        ChildProcess ctl(options);
        const auto status = ctl.Wait(20s);
        EXPECT_TRUE(status.has_value());
        return CtlResult{status ? ExitCode(*status) : -1, ctl.Stdout(), ctl.Stderr()};
    };
    // The data directory closed to others, then open but with the store and
    // its lock file root's own (0600).
    for (const mode_t mode : {0700, 0755}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(chmod(m_data.path().c_str(), mode), 0);
        const CtlResult result = asNobody();
        EXPECT_EQ(result.exitCode, 77) << result.out << result.err;
        EXPECT_NE(result.err.find("permission denied: run as root"), std::string::npos)
            << result.err;
        EXPECT_EQ(result.out.find("not held"), std::string::npos) << result.out;
    }
    ASSERT_EQ(chmod(m_data.path().c_str(), 0700), 0);
    EXPECT_EQ(Ctl({"status"}).exitCode, 0);
}

// As installed from the package, before an administrator fills in bs.json:
// the agent must keep running (no crash loop under the service manager),
// say what is missing, answer clients, and report no identity.
TEST_F(IdentityE2E, ShippedEmptyConfigurationKeepsTheAgentRunningWithoutIdentity) {
    WriteFile(m_config.file("bs.json"),
              ReadFile(std::string(VORN_SOURCE_DIR) + "/packaging/config/bs.json"));
    auto agent = StartAgent();
    ASSERT_TRUE(WaitUntil(
        [&] { return Log().find("Mandatory Business data missing.") != std::string::npos; }, 10s))
        << Log();
    // The next line follows the flush of the error line above: wait for it too.
    EXPECT_TRUE(WaitUntil(
        [&] {
            return Log().find("Failed in condition: (VORN_STATUS::VORN_OK != status)") !=
                   std::string::npos;
        },
        5s))
        << Log();

    const CtlResult refresh = Ctl({"refresh", "--timeout", "10"});
    EXPECT_EQ(refresh.exitCode, 2) << refresh.out << refresh.err;
    EXPECT_EQ(refresh.out, "comm-error\n");
    // One hint line says what comm-error can mean and where to look.
    EXPECT_EQ(1, std::count(refresh.err.begin(), refresh.err.end(), '\n')) << refresh.err;
    for (const std::string& hint :
         {std::string("vornctl attributes"), m_data.file("vornagent.log")}) {
        EXPECT_NE(refresh.err.find(hint), std::string::npos) << hint << "\n" << refresh.err;
    }
    const CtlResult status = Ctl({"status"});
    EXPECT_EQ(status.exitCode, 1);
    EXPECT_NE(status.out.find("identity:      not held"), std::string::npos) << status.out;
    EXPECT_FALSE(agent->Wait(std::chrono::milliseconds(0)).has_value());
    StopAgent(agent);
}

}  // namespace
}  // namespace vorn::test
