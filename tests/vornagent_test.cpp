// The agent's handlers and main loop with fakes of its members: a collector,
// an HTTP transport with canned answers, an in-memory store and a clock the
// test sets. Refreshes arrive as real datagrams on a port the kernel picks.
#include "agent/vornagent.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/linux/servicenotifier.h"
#include "common/refreshclient.h"
#include "common/vornpath.h"
#include "common/vornutils.h"
#include "tests/support/faketransport.h"
#include "tests/support/fdatasynctrace.h"
#include "tests/support/testsupport.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using Rsp = IpcRefreshTokenRsp;
using test::LogMark;
using test::LogSince;
using test::TempDir;
using test::WaitUntil;
using test::WriteFile;

constexpr int64_t kNow = 1'700'000'000;

class FakeCollector : public IAttributeCollector {
public:
    explicit FakeCollector(std::shared_ptr<std::atomic<VORN_STATUS>> result)
        : m_result(std::move(result)) {}
    VORN_STATUS GetAttributeList(std::list<CAttribute>& attributes) override {
        attributes = {CAttribute("serial_number", eAttributeTypeString, "SN-1"),
                      CAttribute("uuid", eAttributeTypeString, "U-1"),
                      CAttribute("hostname", eAttributeTypeString, "host")};
        return m_result->load();
    }

private:
    std::shared_ptr<std::atomic<VORN_STATUS>> m_result;
};

// Answers every request with the scripted answer; can hold an exchange open
// until released, to stand for a slow cloud.
using test::FakeTransport;

class FakeStore : public IVORNIdentityStore {
public:
    struct Values {
        std::string vorn, token, instanceKey;
        int64_t retry = 0;
        // The Retry-After seconds the retry timestamp was made from, and when.
        int64_t receivedSeconds = 0;
        int64_t receivedAt = 0;
        bool operator==(const Values& o) const {
            return vorn == o.vorn && token == o.token && instanceKey == o.instanceKey &&
                   retry == o.retry && receivedSeconds == o.receivedSeconds &&
                   receivedAt == o.receivedAt;
        }
    };

    Values Get() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_values;
    }
    void Put(const Values& values) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_values = values;
    }
    void FailWrites(bool fail) { m_failWrites = fail; }
    // While set, writes wait (at most 10 s), as behind another process's lock.
    void BlockWrites(bool block) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_blockWrites = block;
        }
        m_unblocked.notify_all();
    }
    bool WriteWaiting() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_writeWaiting;
    }

    std::string GetVORN() override { return Get().vorn; }
    std::string GetToken() override { return Get().token; }
    std::string GetInstanceKey() override { return Get().instanceKey; }
    std::chrono::seconds GetRetryTimestamp() override { return std::chrono::seconds(Get().retry); }
    VORN_STATUS SetVORN(const std::string& v) override {
        return Write([&](Values& values) { values.vorn = v; });
    }
    VORN_STATUS SetToken(const std::string& t) override {
        return Write([&](Values& values) { values.token = t; });
    }
    VORN_STATUS SetInstanceKey(const std::string& k) override {
        return Write([&](Values& values) { values.instanceKey = k; });
    }
    VORN_STATUS SetRetryTimestamp(std::chrono::seconds timestamp) override {
        return Write([&](Values& values) { values.retry = timestamp.count(); });
    }
    RetryAfterReceived GetRetryAfterReceived() override {
        const Values values = Get();
        return {std::chrono::seconds(values.receivedSeconds),
                std::chrono::seconds(values.receivedAt)};
    }
    VORN_STATUS SetRetryAfter(std::chrono::seconds timestamp,
                              const RetryAfterReceived& received) override {
        return Write([&](Values& values) {
            values.retry = timestamp.count();
            values.receivedSeconds = received.seconds.count();
            values.receivedAt = received.at.count();
        });
    }
    // While set, BeginRefresh reports the store's lock as not granted.
    void RefuseLock(bool refuse) { m_refuseLock = refuse; }
    VORN_STATUS BeginRefresh() override {
        ++m_refreshesOpen;
        return m_refuseLock ? VORN_FAILED : VORN_OK;
    }
    void EndRefresh() override { --m_refreshesOpen; }
    int RefreshesOpen() const { return m_refreshesOpen; }
    VORN_STATUS SetIdentity(const std::string& token, const std::string& vorn,
                            const std::string& instanceKey) override {
        return Write([&](Values& values) {
            values.token = token;
            values.vorn = vorn;
            if (!instanceKey.empty()) {
                values.instanceKey = instanceKey;
            }
        });
    }

private:
    template <typename Change>
    VORN_STATUS Write(Change change) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_writeWaiting = m_blockWrites;
        m_unblocked.wait_for(lock, 10s, [&] { return !m_blockWrites; });
        m_writeWaiting = false;
        if (m_failWrites) {
            return VORN_ERROR;
        }
        change(m_values);
        return VORN_OK;
    }

    std::mutex m_mutex;
    std::condition_variable m_unblocked;
    Values m_values;
    bool m_blockWrites = false;   // guarded by m_mutex
    bool m_writeWaiting = false;  // guarded by m_mutex
    std::atomic<bool> m_failWrites{false};
    std::atomic<bool> m_refuseLock{false};
    std::atomic<int> m_refreshesOpen{0};
};

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteBootstrap("bid", "key");
        ASSERT_EQ(SetVORNConfigDirectory(UTF8ToWide(m_config.path())), VORN_OK);
    }

    void TearDown() override { Stop(); }

    void WriteIntervalSeconds(int seconds) {
        WriteFile(m_config.file("id.json"),
                  R"({"id":{"enable_verbose_logs":true,"min_refresh_interval_seconds":)" +
                      std::to_string(seconds) + "}}");
    }

    void WriteBootstrap(const std::string& bid, const std::string& key) {
        WriteFile(m_config.file("bs.json"), R"({"id":{"business_id":")" + bid +
                                                R"(","installer_key":")" + key +
                                                R"(","url":"https://127.0.0.1:9/v1/identity"}})");
        WriteFile(m_config.file("id.json"),
                  R"({"id":{"enable_verbose_logs":true,"min_refresh_interval_seconds":0}})");
    }

    // Builds the agent (which registers its refresh handler before its
    // endpoint reads anything) and runs its main thread.
    void Start() {
        const size_t mark = LogMark();
        AgentComponents components;
        components.collector = std::make_unique<FakeCollector>(m_collectorResult);
        components.transport = std::make_unique<FakeTransport>(m_transport);
        components.ipcPort = 0;
        components.store = &m_store;
        components.clock = [this] { return m_now.load(); };
        components.journalSink = [](const std::string&) {};
        components.statusSink = [this](const std::string& status) {
            std::lock_guard<std::mutex> lock(m_statusMutex);
            m_statuses.push_back(status);
        };
        components.monotonicClock = [this] {
            return std::chrono::steady_clock::time_point(
                std::chrono::milliseconds(m_monotonicMs.load()) +
                std::chrono::microseconds(m_monotonicExtraUs.load()));
        };
        if (m_injectBootClock) {
            components.bootClock = [this] { return std::chrono::nanoseconds(m_bootNs.load()); };
        }
        m_agent = std::make_unique<CVORNAgent>(std::move(components));
        m_main = std::async(std::launch::async, [this] { return m_agent->MainThreadProc(); });
        ASSERT_TRUE(WaitUntil(
            [&] {
                return LogSince(mark).find("Registered refresh token handler") != std::string::npos;
            },
            5s));
    }

    // Stops the main thread; returns its status.
    std::optional<VORN_STATUS> Stop() {
        std::optional<VORN_STATUS> status;
        if (m_agent) {
            m_agent->ShutDown();
            if (m_main.wait_for(10s) == std::future_status::ready) {
                status = m_main.get();
            } else {
                ADD_FAILURE() << "main thread did not stop";
            }
            m_agent.reset();
        }
        return status;
    }

    // Starts the agent with a rate limit in force, so its start-up request is
    // refused locally, then lifts the limit: the next refresh is the first
    // exchange the agent makes.
    void StartQuiet() {
        FakeStore::Values values = m_store.Get();
        values.retry = kNow + 1000;
        m_store.Put(values);
        const size_t mark = LogMark();
        Start();
        ASSERT_TRUE(WaitUntil(
            [&] {
                return LogSince(mark).find("Setting timeout for cloud rate limit") !=
                       std::string::npos;
            },
            5s));
        values.retry = 0;
        m_store.Put(values);
    }

    RefreshResult Refresh(std::chrono::milliseconds timeout = 5s) {
        // The agent runs in this process, so its socket is this user's.
        return RequestRefresh(m_agent->GetIpcPort(), timeout, geteuid());
    }

    size_t Exchanges() {
        std::lock_guard<std::mutex> lock(m_transport->mutex);
        return m_transport->bodies.size();
    }

    void SetAnswer(const FakeTransport::Answer& answer) {
        std::lock_guard<std::mutex> lock(m_transport->mutex);
        m_transport->answer = answer;
    }

    void Hold(bool hold) {
        {
            std::lock_guard<std::mutex> lock(m_transport->mutex);
            m_transport->hold = hold;
        }
        m_transport->changed.notify_all();
    }

    TempDir m_config;
    std::shared_ptr<std::atomic<VORN_STATUS>> m_collectorResult =
        std::make_shared<std::atomic<VORN_STATUS>>(VORN_OK);
    std::shared_ptr<FakeTransport::Shared> m_transport = std::make_shared<FakeTransport::Shared>();
    FakeStore m_store;
    std::atomic<int64_t> m_now{kNow};
    std::atomic<int64_t> m_monotonicMs{1'000'000};
    // Added to m_monotonicMs: instants between two milliseconds.
    std::atomic<int64_t> m_monotonicExtraUs{0};
    // Set before Start: the boot clock stands where m_bootNs says, otherwise
    // the real one runs.
    bool m_injectBootClock = false;
    std::atomic<int64_t> m_bootNs{5'000'000'000'000};
    std::unique_ptr<CVORNAgent> m_agent;
    std::future<VORN_STATUS> m_main;
    std::mutex m_statusMutex;
    std::vector<std::string> m_statuses;  // guarded by m_statusMutex

    std::vector<std::string> Statuses() {
        std::lock_guard<std::mutex> lock(m_statusMutex);
        return m_statuses;
    }
};

const FakeStore::Values kStored{"vorn-0", "token-0", "key-0", 0};

TEST_F(AgentTest, RefreshOutcomesAndWhatIsStored) {
    const char* kSuccess = R"({"vorn":"vorn-1","vorn_token":"token-1","instance_key":"key-1"})";
    const struct {
        const char* name;
        FakeTransport::Answer answer;
        VORN_STATUS collector;
        bool noBusinessData;
        bool failWrites;
        FakeStore::Values before;
        Rsp::eRefreshTokenResponse outcome;
        size_t exchanges;
        FakeStore::Values after;
        const char* logLine;
    } cases[] = {
        {"success into an empty store",
         {VORN_OK, 200, "", kSuccess},
         VORN_OK,
         false,
         false,
         {},
         Rsp::eRefreshTokenSuccess,
         1,
         {"vorn-1", "token-1", "key-1", 0},
         "VORN received from cloud"},
        {"success without instance key keeps the stored one",
         {VORN_OK, 200, "", R"({"vorn":"vorn-1","vorn_token":"token-1"})"},
         VORN_OK,
         false,
         false,
         kStored,
         Rsp::eRefreshTokenSuccess,
         1,
         {"vorn-1", "token-1", "key-0", 0},
         "VORN received from cloud"},
        {"error answer",
         {VORN_OK, 401, "", R"({"code":401,"msg":"not you"})"},
         VORN_OK,
         false,
         false,
         {},
         Rsp::eRefreshTokenErrorResponse,
         1,
         {},
         "Error response received from  cloud: not you"},
        {"rate-limit answer",
         {VORN_OK, 503, "Retry-After: 120\r\n", R"({"code":503,"msg":"busy"})"},
         VORN_OK,
         false,
         false,
         kStored,
         Rsp::eRefreshTokenRateLimited,
         1,
         {"vorn-0", "token-0", "key-0", kNow + 120, 120, kNow},
         "Rate limit response received from cloud"},
        {"transport failure",
         {VORN_ERROR, 0, "", ""},
         VORN_OK,
         false,
         false,
         kStored,
         Rsp::eRefreshTokenCommError,
         1,
         kStored,
         "Error occured in communication with cloud service: -3"},
        {"collection failure",
         {VORN_OK, 200, "", kSuccess},
         VORN_FAILED,
         false,
         false,
         kStored,
         Rsp::eRefreshTokenCommError,
         0,
         kStored,
         "Failed in condition: (VORN_STATUS::VORN_OK != status)"},
        {"no business data: the request is refused",
         {VORN_OK, 200, "", kSuccess},
         VORN_OK,
         true,
         false,
         kStored,
         Rsp::eRefreshTokenCommError,
         0,
         kStored,
         "failed to serialise"},
        {"success without token keeps the stored identity",
         {VORN_OK, 200, "", R"({"vorn":"vorn-1","instance_key":"key-1"})"},
         VORN_OK,
         false,
         false,
         kStored,
         Rsp::eRefreshTokenCommError,
         1,
         kStored,
         "Success response without VORN or token; the stored identity is kept"},
        {"success with empty vorn keeps the stored identity",
         {VORN_OK, 200, "", R"({"vorn":"","vorn_token":"token-1"})"},
         VORN_OK,
         false,
         false,
         kStored,
         Rsp::eRefreshTokenCommError,
         1,
         kStored,
         "Success response without VORN or token; the stored identity is kept"},
        {"success with a control character keeps the stored identity",
         {VORN_OK, 200, "", R"({"vorn":"\u001b[2Jvorn-1","vorn_token":"token-1"})"},
         VORN_OK,
         false,
         false,
         kStored,
         Rsp::eRefreshTokenCommError,
         1,
         kStored,
         "Success answer refused: \"vorn\" is not printable UTF-8"},
        {"error message with a forged line is logged as one line",
         {VORN_OK, 401, "", R"({"code":401,"msg":"no\n[Thu] S: error :: forged"})"},
         VORN_OK,
         false,
         false,
         kStored,
         Rsp::eRefreshTokenErrorResponse,
         1,
         kStored,
         "Error response received from  cloud: no\\n[Thu] S: error :: forged"},
        {"store write failure",
         {VORN_OK, 200, "", kSuccess},
         VORN_OK,
         false,
         true,
         kStored,
         Rsp::eRefreshTokenCommError,
         1,
         kStored,
         "Failed to update Token"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.noBusinessData) {
            WriteBootstrap("", "");
        }
        m_store.Put(c.before);
        m_store.FailWrites(false);
        SetAnswer(c.answer);
        m_collectorResult->store(c.collector);
        m_transport->bodies.clear();
        StartQuiet();
        m_store.FailWrites(c.failWrites);

        const size_t mark = LogMark();
        const RefreshResult result = Refresh();
        ASSERT_EQ(result.kind, RefreshResult::Kind::Answered) << result.error;
        EXPECT_EQ(result.outcome, c.outcome);
        EXPECT_EQ(Exchanges(), c.exchanges);
        m_store.FailWrites(false);
        const FakeStore::Values after = m_store.Get();
        EXPECT_TRUE(after == c.after)
            << after.vorn << " " << after.token << " " << after.instanceKey << " " << after.retry;
        EXPECT_NE(LogSince(mark).find(c.logLine), std::string::npos) << LogSince(mark);
        if (c.exchanges == 1 && !c.before.vorn.empty()) {
            // Every request carries the stored identity.
            EXPECT_NE(
                m_transport->bodies[0].find(
                    R"("cache":{"vorn":"vorn-0","vorn_token":"token-0","instance_key":"key-0"})"),
                std::string::npos)
                << m_transport->bodies[0];
        }
        EXPECT_EQ(Stop(), VORN_OK);
        WriteBootstrap("bid", "key");
    }
}

// The one-line status the service manager shows follows every outcome: the
// held identity outlives a failed refresh; without one, the reason is given.
TEST_F(AgentTest, StatusLineAfterEachOutcome) {
    const struct {
        const char* name;
        FakeTransport::Answer answer;
        FakeStore::Values before;
        const char* status;
    } cases[] = {
        {"success",
         {VORN_OK, 200, "", R"({"vorn":"v","vorn_token":"t","instance_key":"k"})"},
         {},
         "identity held"},
        {"error answer, nothing stored",
         {VORN_OK, 401, "", R"({"code":401,"msg":"no"})"},
         {},
         "no identity: 127.0.0.1 answered HTTP 401, code 401"},
        {"transport failure, nothing stored",
         {VORN_ERROR, 0, "", ""},
         {},
         "no identity: comm-error"},
        {"transport failure with its reason",
         {VORN_SECURE_CHANNEL_FAILED, 0, "", "", false,
          "certificate of id.example.com not trusted"},
         {},
         "no identity: certificate of id.example.com not trusted"},
        {"transport failure, identity stored", {VORN_ERROR, 0, "", ""}, kStored, "identity held"},
        {"transport failure with its reason, identity stored",
         {VORN_ERROR, 0, "", "", false, "id.example.com port 443 timed out"},
         kStored,
         "identity held; last refresh failed: id.example.com port 443 timed out"},
        // kNow + 120 s
        {"rate limit",
         {VORN_OK, 429, "Retry-After: 120\r\n", "{}"},
         kStored,
         "rate-limited until 2023-11-14 22:15:20 UTC"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_store.Put(c.before);
        SetAnswer(c.answer);
        StartQuiet();
        // The start-up request met the stored limit (kNow + 1000 s).
        EXPECT_EQ(Statuses().back(), "rate-limited until 2023-11-14 22:30:00 UTC");
        ASSERT_EQ(Refresh().kind, RefreshResult::Kind::Answered);
        EXPECT_EQ(Statuses().back(), c.status);
        EXPECT_EQ(Stop(), VORN_OK);
    }
}

// The journal gets one line for each change of the outcome, not one for
// each outcome; a missing configuration is named by file and key, and outranks
// the failure it causes.
TEST_F(AgentTest, JournalLineOnlyWhenTheOutcomeChanges) {
    std::vector<std::string> journal;
    std::mutex journalMutex;
    AgentComponents components;
    components.collector = std::make_unique<FakeCollector>(m_collectorResult);
    components.transport = std::make_unique<FakeTransport>(m_transport);
    components.ipcPort = 0;
    components.store = &m_store;
    components.clock = [this] { return m_now.load(); };
    components.monotonicClock = [this] {
        return std::chrono::steady_clock::time_point(
            std::chrono::milliseconds(m_monotonicMs.load()));
    };
    components.statusSink = [](const std::string&) {};
    components.journalSink = [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(journalMutex);
        journal.push_back(line);
    };
    const std::string missing =
        "no identity: configuration missing: " + m_config.path() + "/bs.json has no installer_key";
    WriteBootstrap("bid", "key");  // and id.json without refresh spacing
    WriteFile(m_config.file("bs.json"),
              R"({"id":{"business_id":"b","url":"https://127.0.0.1:9/v1/identity"}})");
    SetAnswer({VORN_OK, 400, "", R"({"code":7,"msg":"no key"})"});
    CVORNAgent agent(std::move(components));
    auto main = std::async(std::launch::async, [&agent] { return agent.MainThreadProc(); });
    const auto lines = [&] {
        std::lock_guard<std::mutex> lock(journalMutex);
        return journal;
    };
    const auto refresh = [&] {
        ASSERT_EQ(RequestRefresh(agent.GetIpcPort(), 5s, geteuid()).kind,
                  RefreshResult::Kind::Answered);
    };
    ASSERT_TRUE(WaitUntil([&] { return lines().size() == 1; }, 5s));
    refresh();
    EXPECT_EQ(lines(), std::vector<std::string>{missing});

    WriteBootstrap("bid", "key");
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"v","vorn_token":"t"})"});
    // Past the time an outcome found without an exchange is reused for.
    m_monotonicMs += 1000 * CVORNAgent::kKnownOutcomeHold.count();
    refresh();
    refresh();
    EXPECT_EQ(lines(), (std::vector<std::string>{missing, "identity held"}));

    agent.ShutDown();
    ASSERT_EQ(main.wait_for(10s), std::future_status::ready);
}

TEST_F(AgentTest, StoredRetryTimestampInTheFutureRefusesWithoutExchange) {
    m_store.Put({"", "", "", kNow + 1000});
    const size_t start = LogMark();
    Start();
    // The start-up's own refresh meets the limit too. Until it is over, it
    // could take the request below and answer it with a line written before
    // the mark.
    ASSERT_TRUE(WaitUntil(
        [&] {
            return LogSince(start).find("Setting timeout for cloud rate limit") !=
                   std::string::npos;
        },
        5s));
    const size_t mark = LogMark();
    const RefreshResult result = Refresh();
    ASSERT_EQ(result.kind, RefreshResult::Kind::Answered);
    EXPECT_EQ(result.outcome, Rsp::eRefreshTokenRateLimited);
    EXPECT_EQ(Exchanges(), 0u);
    EXPECT_NE(LogSince(mark).find("Cloud Rate Limit Hit."), std::string::npos);
}

TEST_F(AgentTest, SecondRefreshWhilePendingIsBusyAndOneExchangeAnswersTheFirst) {
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"v","vorn_token":"t"})"});
    StartQuiet();
    Hold(true);
    std::promise<Rsp::eRefreshTokenResponse> first;
    std::atomic<int> secondCalls{0};
    EXPECT_EQ(m_agent->refreshToken([&](Rsp::eRefreshTokenResponse r) { first.set_value(r); }),
              VORN_OK);
    ASSERT_TRUE(WaitUntil([&] { return Exchanges() == 1; }, 5s));
    EXPECT_EQ(m_agent->refreshToken([&](Rsp::eRefreshTokenResponse) { ++secondCalls; }), VORN_BUSY);
    Hold(false);
    auto answer = first.get_future();
    ASSERT_EQ(answer.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(answer.get(), Rsp::eRefreshTokenSuccess);
    EXPECT_EQ(Exchanges(), 1u);
    EXPECT_EQ(secondCalls.load(), 0);
}

TEST_F(AgentTest, RateLimitTimerWakesTheLoopAndSendsARequest) {
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"v","vorn_token":"t"})"});
    m_store.Put({"", "", "", kNow + 1});
    const size_t mark = LogMark();
    Start();
    ASSERT_TRUE(WaitUntil(
        [&] {
            return LogSince(mark).find(
                       "Setting timeout for cloud rate limit to 1000 milliseconds") !=
                   std::string::npos;
        },
        5s))
        << LogSince(mark);
    const auto armed = std::chrono::steady_clock::now();
    EXPECT_EQ(Exchanges(), 0u);
    // By the time the timer fires the deadline has passed.
    m_now = kNow + 1;
    ASSERT_TRUE(WaitUntil([&] { return Exchanges() == 1; }, 5s));
    const auto waited = std::chrono::steady_clock::now() - armed;
    EXPECT_GT(waited, 700ms);
    EXPECT_LT(waited, 3s);
    EXPECT_NE(
        LogSince(mark).find("VORN agent received Rate Limit Refresh Event after timeout expiry"),
        std::string::npos);
    ASSERT_TRUE(WaitUntil([&] { return m_store.Get().vorn == "v"; }, 5s));
}

// The handler is registered before the endpoint reads anything: a request
// that arrives before the main thread runs (the one that made a service
// manager start the agent) is answered with the outcome of the first
// exchange, which is the only one made.
TEST_F(AgentTest, RequestBeforeTheMainThreadRunsIsAnsweredByTheFirstExchange) {
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"v","vorn_token":"t"})"});
    AgentComponents components;
    components.collector = std::make_unique<FakeCollector>(m_collectorResult);
    components.transport = std::make_unique<FakeTransport>(m_transport);
    components.ipcPort = 0;
    components.store = &m_store;
    components.statusSink = [](const std::string&) {};
    const size_t mark = LogMark();
    CVORNAgent agent(std::move(components));
    const unsigned short port = agent.GetIpcPort();
    auto client =
        std::async(std::launch::async, [port] { return RequestRefresh(port, 10s, geteuid()); });
    ASSERT_TRUE(WaitUntil(
        [&] { return LogSince(mark).find("Refresh token callback received") != std::string::npos; },
        5s));
    auto main = std::async(std::launch::async, [&agent] { return agent.MainThreadProc(); });
    const RefreshResult result = client.get();
    ASSERT_EQ(result.kind, RefreshResult::Kind::Answered);
    EXPECT_EQ(result.outcome, Rsp::eRefreshTokenSuccess);
    agent.ShutDown();
    ASSERT_EQ(main.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(Exchanges(), 1u);
}

TEST_F(AgentTest, ShutdownWhileIdleReturnsOk) {
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"v","vorn_token":"t"})"});
    const size_t mark = LogMark();
    Start();
    ASSERT_TRUE(WaitUntil([&] { return m_store.Get().vorn == "v"; }, 5s));
    EXPECT_EQ(Stop(), VORN_OK);
    EXPECT_NE(LogSince(mark).find("VORN agent main thread is exiting with status: 0"),
              std::string::npos);
}

// An exchange still in flight when the agent goes: its answer arrives while
// the agent is being destroyed and must find every member alive; the waiting
// client is not answered.
TEST_F(AgentTest, DestructionWaitsForTheExchangeInFlight) {
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"v","vorn_token":"t"})"});
    StartQuiet();
    Hold(true);
    const unsigned short port = m_agent->GetIpcPort();
    auto client =
        std::async(std::launch::async, [port] { return RequestRefresh(port, 1500ms, geteuid()); });
    ASSERT_TRUE(WaitUntil([&] { return Exchanges() == 1; }, 5s));
    m_agent->ShutDown();
    ASSERT_EQ(m_main.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(m_main.get(), VORN_OK);
    std::thread release([this] {
        std::this_thread::sleep_for(100ms);
        Hold(false);
    });
    m_agent.reset();
    release.join();
    EXPECT_EQ(client.get().kind, RefreshResult::Kind::TimedOut);
    EXPECT_EQ(m_store.Get().vorn, "");
}

// Refreshes asked for locally start no sooner than the interval after the
// previous exchange ended, by the agent's monotonic clock; clients asking
// meanwhile all share that one deferred exchange.
TEST_F(AgentTest, LocalRefreshesWaitForTheIntervalAndShareOneExchange) {
    WriteIntervalSeconds(10);
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"v","vorn_token":"t"})"});
    Start();
    // The start-up exchange is never delayed.
    ASSERT_TRUE(WaitUntil([&] { return m_store.Get().vorn == "v"; }, 5s));
    ASSERT_EQ(Exchanges(), 1u);

    // 9.8 s after it ended by the agent's clock: 200 ms to go.
    m_monotonicMs += 9800;
    const size_t mark = LogMark();
    const unsigned short port = m_agent->GetIpcPort();
    auto first =
        std::async(std::launch::async, [port] { return RequestRefresh(port, 10s, geteuid()); });
    ASSERT_TRUE(WaitUntil(
        [&] {
            return LogSince(mark).find("Refresh request deferred by 200 ms") != std::string::npos;
        },
        5s))
        << LogSince(mark);
    auto second =
        std::async(std::launch::async, [port] { return RequestRefresh(port, 10s, geteuid()); });
    // The clock stands still: the timer fires, finds the interval not yet
    // over and waits again; no exchange starts early.
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(Exchanges(), 1u);
    m_monotonicMs += 200;
    const RefreshResult a = first.get();
    const RefreshResult b = second.get();
    ASSERT_EQ(a.kind, RefreshResult::Kind::Answered);
    ASSERT_EQ(b.kind, RefreshResult::Kind::Answered);
    EXPECT_EQ(a.outcome, Rsp::eRefreshTokenSuccess);
    EXPECT_EQ(b.outcome, Rsp::eRefreshTokenSuccess);
    EXPECT_EQ(Exchanges(), 2u);

    // Once the interval has passed, a refresh goes out at once.
    m_monotonicMs += 10'000;
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(Refresh().outcome, Rsp::eRefreshTokenSuccess);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s);
    EXPECT_EQ(Exchanges(), 3u);
}

// The last fraction of a millisecond of the interval is waited out as a
// whole millisecond: a wait rounded down to 0 ms would end at once, find the
// interval not over, and spin.
TEST_F(AgentTest, DeferredRefreshWaitRoundsUp) {
    WriteIntervalSeconds(10);
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"v","vorn_token":"t"})"});
    Start();
    ASSERT_TRUE(WaitUntil([&] { return m_store.Get().vorn == "v"; }, 5s));

    // 0.4 ms of the interval left.
    m_monotonicMs += 9999;
    m_monotonicExtraUs += 600;
    const size_t mark = LogMark();
    const unsigned short port = m_agent->GetIpcPort();
    auto client =
        std::async(std::launch::async, [port] { return RequestRefresh(port, 10s, geteuid()); });
    ASSERT_TRUE(WaitUntil(
        [&] {
            return LogSince(mark).find("Refresh request deferred by 1 ms") != std::string::npos;
        },
        5s))
        << LogSince(mark);
    EXPECT_EQ(std::string::npos, LogSince(mark).find("deferred by 0 ms"));
    EXPECT_EQ(Exchanges(), 1u);
    m_monotonicExtraUs += 400;
    EXPECT_EQ(client.get().outcome, Rsp::eRefreshTokenSuccess);
    EXPECT_EQ(Exchanges(), 2u);
}

// The exchange due when a rate limit runs out is not held back by the
// interval, though the rate-limit answer ended an exchange just before.
TEST_F(AgentTest, ExchangeAfterARateLimitIsNotDelayed) {
    WriteIntervalSeconds(10);
    SetAnswer({VORN_OK, 429, "Retry-After: 1\r\n", R"({"code":429,"msg":"slow down"})"});
    StartQuiet();
    const size_t mark = LogMark();
    EXPECT_EQ(Refresh().outcome, Rsp::eRefreshTokenRateLimited);
    ASSERT_EQ(m_store.Get().retry, kNow + 1);
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"v","vorn_token":"t"})"});
    // The clock moves on only once the main loop has armed its timer: moved
    // earlier, the loop would find the limit over and arm no timer at all.
    ASSERT_TRUE(WaitUntil(
        [&] {
            return LogSince(mark).find(
                       "Setting timeout for cloud rate limit to 1000 milliseconds") !=
                   std::string::npos;
        },
        5s));
    m_now = kNow + 1;  // by the time the timer fires
    ASSERT_TRUE(WaitUntil([&] { return m_store.Get().vorn == "v"; }, 5s));
    EXPECT_EQ(Exchanges(), 2u);
}

// The store may wait on another process's lock while an answer is written;
// the refresh handler (the IPC receiver's thread) must not wait with it.
TEST_F(AgentTest, RefreshHandlerDoesNotWaitForAStoreWrite) {
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"v","vorn_token":"t"})"});
    m_store.BlockWrites(true);
    Start();
    ASSERT_TRUE(WaitUntil([&] { return m_store.WriteWaiting(); }, 5s));
    std::promise<Rsp::eRefreshTokenResponse> answered;
    auto accepted = std::async(std::launch::async, [&] {
        return m_agent->refreshToken([&](Rsp::eRefreshTokenResponse r) { answered.set_value(r); });
    });
    ASSERT_EQ(accepted.wait_for(500ms), std::future_status::ready);
    EXPECT_EQ(accepted.get(), VORN_OK);
    m_store.BlockWrites(false);
    // The refresh accepted while the answer was being stored gets that answer.
    auto outcome = answered.get_future();
    ASSERT_EQ(outcome.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(outcome.get(), Rsp::eRefreshTokenSuccess);
    EXPECT_EQ(m_store.Get().vorn, "v");
}

// Within a run the rate limit is timed on the boot clock: the wall clock set
// back 3 h does not stretch a 1 s limit, and the answer is stored with what
// it was made from.
TEST_F(AgentTest, RateLimitWaitIsNotStretchedByTheClockSetBack) {
    SetAnswer({VORN_OK, 429, "Retry-After: 1\r\n", R"({"code":429,"msg":"slow down"})"});
    StartQuiet();
    const size_t mark = LogMark();
    EXPECT_EQ(Refresh().outcome, Rsp::eRefreshTokenRateLimited);
    const FakeStore::Values stored = m_store.Get();
    EXPECT_EQ(stored.retry, kNow + 1);
    EXPECT_EQ(stored.receivedSeconds, 1);
    EXPECT_EQ(stored.receivedAt, kNow);
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"v","vorn_token":"t"})"});
    m_now = kNow - 3 * 3600;
    const auto stepped = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return m_store.Get().vorn == "v"; }, 5s)) << LogSince(mark);
    EXPECT_LT(std::chrono::steady_clock::now() - stepped, 3s);
    EXPECT_NE(LogSince(mark).find("Setting timeout for cloud rate limit to 1000 milliseconds"),
              std::string::npos);
}

// Nor does the wall clock set forward end it early: only the boot clock does.
TEST_F(AgentTest, RateLimitIsNotCutShortByTheClockSetForward) {
    m_injectBootClock = true;
    SetAnswer({VORN_OK, 429, "Retry-After: 60\r\n", R"({"code":429,"msg":"slow down"})"});
    StartQuiet();
    EXPECT_EQ(Refresh().outcome, Rsp::eRefreshTokenRateLimited);
    ASSERT_EQ(Exchanges(), 1u);
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"v","vorn_token":"t"})"});
    m_now = kNow + 3 * 3600;
    m_bootNs += std::chrono::nanoseconds(59s).count();
    EXPECT_EQ(Refresh().outcome, Rsp::eRefreshTokenRateLimited);
    EXPECT_EQ(Exchanges(), 1u);
    // The end as the wall clock now tells it: 1 s away.
    EXPECT_EQ(Statuses().back(), RateLimitedStatus(kNow + 3 * 3600 + 1));
    m_bootNs += std::chrono::nanoseconds(1s).count();
    EXPECT_EQ(Refresh().outcome, Rsp::eRefreshTokenSuccess);
    EXPECT_EQ(Exchanges(), 2u);
}

// A limit stored before the start is trusted for no longer than the cloud
// asked: further away than that, the clock was stepped since.
TEST_F(AgentTest, StoredRateLimitAtStartIsCappedByTheDurationReceived) {
    const int64_t year = 365 * 86400;
    const struct {
        const char* name;
        FakeStore::Values stored;
        const char* expected;  // nullptr: no limit, the start-up request goes out
    } cases[] = {
        {"clock a year ahead when the limit came",
         {"", "", "", kNow + year + 60, 60, kNow + year},
         "Setting timeout for cloud rate limit to 60000 milliseconds"},
        {"half of the wait passed",
         {"", "", "", kNow + 30, 60, kNow - 30},
         "Setting timeout for cloud rate limit to 30000 milliseconds"},
        {"stored by an older version",
         {"", "", "", kNow + 1000, 0, 0},
         "Setting timeout for cloud rate limit to 1000000 milliseconds"},
        {"clock set forward across the restart", {"", "", "", kNow - 10, 60, kNow - 70}, nullptr},
    };
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"v","vorn_token":"t"})"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_store.Put(c.stored);
        const size_t exchanges = Exchanges();
        const size_t mark = LogMark();
        Start();
        if (c.expected != nullptr) {
            EXPECT_TRUE(
                WaitUntil([&] { return LogSince(mark).find(c.expected) != std::string::npos; }, 5s))
                << LogSince(mark);
            EXPECT_EQ(Exchanges(), exchanges);
        } else {
            EXPECT_TRUE(WaitUntil([&] { return Exchanges() == exchanges + 1; }, 5s));
        }
        Stop();
    }
}

// A store whose lock another process holds is given up on once per refresh:
// no exchange (its answer could not be kept), the client answered at once.
TEST_F(AgentTest, StoreLockNotGrantedEndsTheRefreshWithoutAnExchange) {
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"v","vorn_token":"t"})"});
    StartQuiet();
    m_store.RefuseLock(true);
    const size_t mark = LogMark();
    EXPECT_EQ(Refresh().outcome, Rsp::eRefreshTokenCommError);
    EXPECT_EQ(Exchanges(), 0u);
    EXPECT_NE(
        LogSince(mark).find("Store is locked by another process; no identity request is sent"),
        std::string::npos);
    m_store.RefuseLock(false);
    EXPECT_EQ(Refresh().outcome, Rsp::eRefreshTokenSuccess);
    EXPECT_EQ(Exchanges(), 1u);
    EXPECT_EQ(m_store.RefreshesOpen(), 0);
}

// The exchange's lines reach the disk when it ends, its outcome included.
TEST_F(AgentTest, LogIsFlushedAfterEachExchange) {
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"v","vorn_token":"t"})"});
    StartQuiet();
    const ino_t log = test::InodeOf(test::TestLogPath());
    const size_t mark = LogMark();
    EXPECT_EQ(Refresh().outcome, Rsp::eRefreshTokenSuccess);
    const std::string since = LogSince(mark);
    const size_t outcome = since.find("VORN received from cloud");
    ASSERT_NE(outcome, std::string::npos);
    const off_t outcomeEnd = static_cast<off_t>(mark + since.find('\n', outcome) + 1);
    const std::vector<off_t> synced = test::SyncedSizes(log);
    ASSERT_FALSE(synced.empty());
    EXPECT_GE(synced.back(), outcomeEnd);
}

}  // namespace
}  // namespace vorn
