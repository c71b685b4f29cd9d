// The real agent under hostile conditions, against the real reference cloud
// on loopback: a flood of random datagrams, SIGKILL at random instants, the
// cloud's fault modes, and a second process writing the store.
//
#include <cjson/cJSON.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/ipcmessage.h"
#include "common/vornstorefileimpl.h"
#include "tests/ipcudpclient.h"
#include "tests/support/agenttest.h"
#include "tests/support/cloudservice.h"
#include "tests/support/testsupport.h"

using namespace std::chrono_literals;
using vorn::test::ChildProcess;
using vorn::test::CloudService;
using vorn::test::ExitCode;
using vorn::test::FileExists;
using vorn::test::ReadFile;
using vorn::test::TempDir;
using vorn::test::UdpClient;
using vorn::test::WaitUntil;
using vorn::test::WriteFile;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// 100,000 datagrams and 200 kills: each test stays under about 30 seconds,
// also in the sanitizer builds.
constexpr int kFloodDatagrams = 100000;
constexpr int kKills = 200;

constexpr auto kRefreshWait = 20s;

struct JsonDeleter {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

long StatusKiB(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

// Datagrams the kernel dropped at a loopback UDP socket (its receive buffer
// was full), from /proc/net/udp.
long KernelDrops(unsigned short port) {
    std::ifstream in("/proc/net/udp");
    std::string line;
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    long drops = 0;
    while (std::getline(in, line)) {
        if (line.find(local) != std::string::npos) {
            std::istringstream fields(line);
            std::string field, last;
            while (fields >> field) {
                last = field;
            }
            drops += std::stol(last);
        }
    }
    return drops;
}

class FaultTest : public vorn::test::AgentTest {
protected:
    void PointAt(int port) {
        WriteBusinessData("fault-bid", "fault-key",
                          "https://127.0.0.1:" + std::to_string(port) + "/v1/identity");
    }

    // Starts the agent; with 'waitReady', returns once it serves refreshes.
    std::unique_ptr<ChildProcess> StartAgent(bool waitReady = true) {
        return waitReady ? StartReady() : std::make_unique<ChildProcess>(AgentOptions());
    }

    // One refresh round trip; the outcome code, or nullopt when no answer came.
    static std::optional<uint16_t> Refresh(const UdpClient& client,
                                           std::chrono::milliseconds wait = kRefreshWait) {
        if (!client.SendTo(vorn::kIpcAgentPort, vorn::EncodeRefreshTokenReq())) {
            return std::nullopt;
        }
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            const auto message = client.Receive(std::max(left, 1ms));
            uint16_t outcome = 0;
            if (message && vorn::DecodeRefreshTokenRsp(*message, outcome) == vorn::VORN_OK) {
                return outcome;
            }
        }
        return std::nullopt;
    }

    // Every log line of every generation has the logger's layout. A line that
    // does not start with '[' continues a multi-line message (the header block).
    void ExpectWellFormedLogs() const {
        static const std::regex layout(
            R"(^\[[^\]]+\] T: [0-9A-F]+ F: \S+ L: [0-9]+ f: .+ S: (error|warning|debug|verbose) :: .*$)");
        DIR* dir = opendir(m_data.path().c_str());
        ASSERT_NE(dir, nullptr);
        int files = 0;
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.rfind("vornagent.log", 0) != 0) {
                continue;
            }
            ++files;
            const std::string text = ReadFile(m_data.file(name));
            EXPECT_EQ(text.find('\0'), std::string::npos) << name << " holds a NUL byte";
            std::istringstream lines(text);
            std::string line;
            int bad = 0;
            while (std::getline(lines, line)) {
                // The transport logs the raw header block, whose lines end in CR LF.
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                if (!line.empty() && line[0] == '[' && !std::regex_match(line, layout) &&
                    ++bad <= 3) {
                    ADD_FAILURE() << name << ": malformed log line: " << line;
                }
            }
        }
        closedir(dir);
        EXPECT_GT(files, 0);
    }
};

// The store text: absent, empty, or one JSON object with no identity or a
// complete one. An empty (0-byte) file is the store's own "nothing stored"
// state, not a torn one: the first write of a run creates the file empty
// before it replaces it with the complete text, readers report an empty file
// as holding no identity, and the next write fills it. A kill between the two
// steps leaves exactly that state.
void ExpectConsistentStore(const std::string& path, std::string& vorn, std::string& instanceKey,
                           int& complete) {
    if (!FileExists(path)) {
        return;
    }
    const std::string text = ReadFile(path);
    if (text.empty()) {
        return;
    }
    JsonPtr root(cJSON_Parse(text.c_str()));
    ASSERT_TRUE(root != nullptr && cJSON_IsObject(root.get())) << "torn store: [" << text << "]";
    const cJSON* v = cJSON_GetObjectItemCaseSensitive(root.get(), "vorn");
    const cJSON* t = cJSON_GetObjectItemCaseSensitive(root.get(), "vorn_token");
    const cJSON* k = cJSON_GetObjectItemCaseSensitive(root.get(), "instance_key");
    if (v == nullptr && t == nullptr && k == nullptr) {
        return;
    }
    ASSERT_TRUE(cJSON_IsString(v) && cJSON_IsString(t) && cJSON_IsString(k)) << text;
    EXPECT_STRNE(v->valuestring, "");
    EXPECT_EQ(std::string(t->valuestring).size(), 64u) << text;
    EXPECT_STRNE(k->valuestring, "");
    // The cloud gives this machine one id and one instance key; every answer
    // carries both with a fresh token.
    if (vorn.empty()) {
        vorn = v->valuestring;
        instanceKey = k->valuestring;
    }
    EXPECT_EQ(vorn, v->valuestring);
    EXPECT_EQ(instanceKey, k->valuestring);
    ++complete;
}

TEST_F(FaultTest, RandomDatagramFloodDuringRefreshes) {
    CloudService cloud;
    ASSERT_NE(cloud.port(), 0);
    PointAt(cloud.port());
    auto agent = StartAgent();
    UdpClient probe;
    ASSERT_EQ(Refresh(probe), std::optional<uint16_t>(1)) << Log();
    const long rssBefore = StatusKiB(agent->pid(), "VmRSS");

    UdpClient flooder;
    std::atomic<bool> flooding{true};
    int wellFormed = 0;
    int floodAnswers = 0;
    std::thread flood([&] {
        std::mt19937 random(20240610u);
        std::uniform_int_distribution<int> size(0, 5000);
        std::uniform_int_distribution<int> byte(0, 255);
        std::string datagram;
        for (int i = 0; i < kFloodDatagrams; ++i) {
            datagram.resize(static_cast<size_t>(size(random)));
            for (char& c : datagram) {
                c = static_cast<char>(byte(random));
            }
            // Random types, with type 1 (a refresh request) common enough
            // that many requests join real refreshes.
            if (datagram.size() >= 2 && byte(random) < 64) {
                datagram[0] = 1;
                datagram[1] = 0;
            }
            if (datagram.size() >= 2 && datagram.size() <= vorn::kIpcMaxMessageSize &&
                datagram[0] == 1 && datagram[1] == 0) {
                ++wellFormed;
            }
            (void)flooder.SendTo(vorn::kIpcAgentPort, datagram);
            if (i % 16 == 15) {
                while (flooder.Receive(0ms)) {
                    ++floodAnswers;
                }
                std::this_thread::sleep_for(200us);
            }
        }
        flooding = false;
    });
    // The flood fills the agent's receive buffer, and then the kernel drops
    // datagrams, the probe's request among them. A datagram client resends
    // what went unanswered, so the probe does; a resend is accepted below only
    // when the kernel reports drops, never as the agent ignoring a request.
    int probes = 0;
    int resends = 0;
    while (flooding) {
        std::optional<uint16_t> outcome;
        for (int attempt = 0; attempt < 4 && !outcome; ++attempt) {
            resends += attempt > 0 ? 1 : 0;
            outcome = Refresh(probe, kRefreshWait / 4);
        }
        EXPECT_EQ(outcome, std::optional<uint16_t>(1)) << "probe " << probes;
        ++probes;
    }
    flood.join();
    // Refreshes run one at a time, so once a refresh asked after the flood
    // has been answered, the ones the last flood requests joined have been
    // answered too; what is still in flight arrives right after.
    ASSERT_EQ(Refresh(probe), std::optional<uint16_t>(1));
    while (flooder.Receive(300ms)) {
        ++floodAnswers;
    }
    // Every refresh is one exchange with the cloud here (no spacing, and the
    // cloud always answers); the log's per-request lines are limited, so
    // they cannot be counted.
    const size_t refreshes = static_cast<size_t>(cloud.IdentityRequests());
    const long drops = KernelDrops(vorn::kIpcAgentPort) + KernelDrops(flooder.port());
    std::printf(
        "flood: %d datagrams, %d well-formed requests, %d answered, %ld dropped by the "
        "kernel, %d probe refreshes (%d resent), %zu refreshes\n",
        kFloodDatagrams, wellFormed, floodAnswers, drops, probes, resends, refreshes);
    if (resends > 0) {
        EXPECT_GT(drops, 0) << "a probe went unanswered though the kernel dropped nothing";
    }
    // One socket is answered once per request it made, but at most eight
    // times for one refresh, however often it asked meanwhile.
    EXPECT_LE(floodAnswers, wellFormed);
    EXPECT_LE(static_cast<size_t>(floodAnswers), 8 * refreshes);
    if (wellFormed > drops) {
        EXPECT_GT(floodAnswers, 0);
    }
    EXPECT_GT(probes, 0);

    ASSERT_EQ(Refresh(probe), std::optional<uint16_t>(1));
    const long rssAfter = StatusKiB(agent->pid(), "VmRSS");
    std::printf("agent RSS: %ld KiB before, %ld KiB after\n", rssBefore, rssAfter);
    if (!kSanitized) {  // ASan's quarantine holds freed memory on purpose
        EXPECT_LE(rssAfter, rssBefore + 1024);
    }
    StopAgent(agent);
    ExpectWellFormedLogs();
}

TEST_F(FaultTest, KilledAtRandomInstantsTheStoreStaysWhole) {
    CloudService cloud;
    ASSERT_NE(cloud.port(), 0);
    PointAt(cloud.port());
    std::mt19937 random(7u);
    // A sanitized agent takes longer to its first store write; with the
    // plain range its kills could all land before any write.
    std::uniform_int_distribution<int> delayMs(0, kSanitized ? 400 : 150);
    // However slow the machine, every fourth agent is first seen to answer a
    // refresh (its identity written), so kills also land among later writes.
    std::string vorn, instanceKey;
    int complete = 0;
    for (int i = 0; i < kKills; ++i) {
        auto agent = StartAgent(i % 4 == 3);
        UdpClient client;
        if (i % 4 == 3) {
            (void)Refresh(client, 10s);
        }
        const auto killAt =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs(random));
        // Refresh requests keep store writes going until the kill.
        while (std::chrono::steady_clock::now() < killAt) {
            (void)client.SendTo(vorn::kIpcAgentPort, vorn::EncodeRefreshTokenReq());
            while (client.Receive(0ms)) {
            }
            std::this_thread::sleep_for(5ms);
        }
        agent->Signal(SIGKILL);
        ASSERT_TRUE(agent->Wait(10s).has_value());
        ExpectConsistentStore(StorePath(), vorn, instanceKey, complete);
        if (HasFatalFailure()) {
            return;
        }
    }
    std::printf("%d kills, the store held a complete identity after %d\n", kKills, complete);
    EXPECT_GT(complete, 0);
    // And the agent still starts and serves on what the kills left behind.
    auto agent = StartAgent();
    UdpClient client;
    EXPECT_EQ(Refresh(client), std::optional<uint16_t>(1)) << Log();
    StopAgent(agent);
    ExpectConsistentStore(StorePath(), vorn, instanceKey, complete);

    // The empty store a kill can leave holds no identity; the agent fills it.
    WriteFile(StorePath(), "");
    agent = StartAgent();
    EXPECT_EQ(Refresh(client), std::optional<uint16_t>(1)) << Log();
    StopAgent(agent);
    const int before = complete;
    ExpectConsistentStore(StorePath(), vorn, instanceKey, complete);
    EXPECT_EQ(complete, before + 1) << ReadFile(StorePath());
}

TEST_F(FaultTest, CloudFaultsGiveCommErrorsAndTheAgentRecovers) {
    CloudService good;
    ASSERT_NE(good.port(), 0);
    PointAt(good.port());
    auto agent = StartAgent();
    UdpClient client;
    ASSERT_EQ(Refresh(client), std::optional<uint16_t>(1)) << Log();

    // 64 KiB of headers is within the transport's bound (1 MiB), so that answer
    // is read; every other fault is a communication error.
    const std::pair<const char*, uint16_t> faults[] = {
        {"reset", 2}, {"stall", 2}, {"garbage", 2}, {"huge-headers", 1}, {"huge-body", 2}};
    for (const auto& [fault, outcome] : faults) {
        SCOPED_TRACE(fault);
        CloudService faulty(std::string("fault=") + fault);
        ASSERT_NE(faulty.port(), 0);
        PointAt(faulty.port());
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(Refresh(client), std::optional<uint16_t>(outcome));
        const auto took = std::chrono::steady_clock::now() - started;
        // The transport gives up after 5 s without progress or in total.
        EXPECT_LT(took, 12s);
        const long peak = StatusKiB(agent->pid(), "VmHWM");
        std::printf("fault=%s: answered in %lld ms, agent peak RSS %ld KiB\n", fault,
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
                    peak);
        EXPECT_LT(peak, kSanitized ? 1024 * 1024 : 128 * 1024);
    }
    PointAt(good.port());
    EXPECT_EQ(Refresh(client), std::optional<uint16_t>(1)) << Log();
    StopAgent(agent);
    ExpectWellFormedLogs();
}

TEST_F(FaultTest, SecondProcessWritingTheStoreNeitherTearsNorDeadlocks) {
    CloudService cloud;
    ASSERT_NE(cloud.port(), 0);
    PointAt(cloud.port());
    auto agent = StartAgent();
    UdpClient client;
    ASSERT_EQ(Refresh(client), std::optional<uint16_t>(1)) << Log();

    // The other writer: a forked process writing its own key as fast as it can
    // until told to stop; exit code 1 if any write failed.
    int stopPipe[2];
    ASSERT_EQ(pipe(stopPipe), 0);
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        close(stopPipe[1]);
        vorn::CVORNStoreFileImpl store;
        (void)store.Initialize(StorePath());
        int failures = 0;
        for (int i = 0;; ++i) {
            if (store.WriteKeyValue("other-writer", std::to_string(i)) != vorn::VORN_OK) {
                ++failures;
            }
            pollfd entry{stopPipe[0], POLLIN, 0};
            if (poll(&entry, 1, 0) != 0) {
                break;
            }
        }
        _exit(failures == 0 ? 0 : 1);
    }
    close(stopPipe[0]);

    std::atomic<bool> reading{true};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (reading) {
            const std::string text = ReadFile(StorePath());
            JsonPtr root(cJSON_Parse(text.c_str()));
            if (!root) {
                ++torn;
            }
        }
    });
    for (int i = 0; i < 15; ++i) {
        EXPECT_EQ(Refresh(client), std::optional<uint16_t>(1)) << "refresh " << i;
    }
    close(stopPipe[1]);
    int status = 0;
    const bool writerExited =
        WaitUntil([&] { return waitpid(writer, &status, WNOHANG) == writer; }, 20s);
    reading = false;
    reader.join();
    if (!writerExited) {
        kill(writer, SIGKILL);
        waitpid(writer, &status, 0);
    }
    ASSERT_TRUE(writerExited) << "the second writer is stuck";
    EXPECT_EQ(ExitCode(status), 0) << "a write of the second process failed";
    EXPECT_EQ(torn.load(), 0);

    std::string vorn, instanceKey;
    int complete = 0;
    ExpectConsistentStore(StorePath(), vorn, instanceKey, complete);
    EXPECT_EQ(complete, 1);
    EXPECT_NE(ReadFile(StorePath()).find("\"other-writer\""), std::string::npos);
    StopAgent(agent);
}

}  // namespace
