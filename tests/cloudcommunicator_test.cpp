// The communicator's slot, worker and outcome rules, over a fake transport.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "agent/cloudcommunicator.h"
#include "agent/cloudformatconverter.h"
#include "tests/support/faketransport.h"
#include "tests/support/testsupport.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using test::LogMark;
using test::LogSince;
using test::WaitUntil;

using test::FakeTransport;
using Receiver = test::IdentityReceiver;

IdentityServiceRequest Request(const std::string& bid = "bid") {
    return test::MinimalIdentityRequest(bid);
}

class CloudCommunicatorTest : public ::testing::Test {
protected:
    CloudCommunicatorTest()
        : m_shared(std::make_shared<FakeTransport::Shared>()),
          m_communicator(
              std::make_unique<CloudCommunicator>(std::make_unique<FakeTransport>(m_shared))) {}

    void SetAnswer(const FakeTransport::Answer& answer) {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->answer = answer;
    }
    void Hold(bool hold) {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->hold = hold;
        m_shared->changed.notify_all();
    }
    bool WaitEntered(int count) {
        std::unique_lock<std::mutex> lock(m_shared->mutex);
        return m_shared->changed.wait_for(lock, 10s, [&] { return m_shared->entered >= count; });
    }
    std::vector<std::string> Bodies() {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        return m_shared->bodies;
    }

    std::shared_ptr<FakeTransport::Shared> m_shared;
    std::unique_ptr<CloudCommunicator> m_communicator;
};

TEST_F(CloudCommunicatorTest, OutcomeTable) {
    const std::string ok = R"({"vorn":"V","vorn_token":"T","instance_key":"K"})";
    const std::string err = R"({"code":7,"msg":"denied"})";
    struct Case {
        const char* name;
        FakeTransport::Answer answer;
        VORN_STATUS status;
        const char* vorn;
        int32_t code;
        const char* msg;
        int64_t retryAfter;
        const char* log;
    } cases[] = {
        {"200", {VORN_OK, 200, "", ok}, VORN_OK, "V", 0, "", 0, "invoking callback"},
        {"201 empty object",
         {VORN_OK, 201, "", "{}"},
         VORN_OK,
         "",
         0,
         "",
         0,
         "failed to deserialise"},
        {"200 not JSON",
         {VORN_OK, 200, "", "<html/>"},
         VORN_OK,
         "",
         0,
         "",
         0,
         "failed to deserialise"},
        {"404 error answer",
         {VORN_OK, 404, "", err},
         VORN_CLOUD_ERROR_RESPONSE,
         "",
         7,
         "denied",
         0,
         "Error response: "},
        {"500 unusable body",
         {VORN_OK, 500, "", "oops"},
         VORN_CLOUD_ERROR_RESPONSE,
         "",
         0,
         "",
         0,
         "failed to deserialise"},
        {"302",
         {VORN_OK, 302, "HTTP/1.1 302 Found\r\nLocation: https://x/\r\n", "moved"},
         VORN_CLOUD_ERROR_RESPONSE,
         "",
         0,
         "",
         0,
         "failed to deserialise"},
        {"503 Retry-After",
         {VORN_OK, 503, "HTTP/1.1 503 x\r\nRetry-After: 120\r\n", err},
         VORN_CLOUD_RATE_LIMITED,
         "",
         7,
         "denied",
         120,
         "Retry After Seconds set to 120 seconds"},
        {"200 ignores Retry-After",
         {VORN_OK, 200, "Retry-After: 120\r\n", ok},
         VORN_OK,
         "V",
         0,
         "",
         0,
         "invoking callback"},
        {"Retry-After with blanks, sign, tail",
         {VORN_OK, 429, "Retry-After:   +30s\r\n", err},
         VORN_CLOUD_RATE_LIMITED,
         "",
         7,
         "denied",
         30,
         "Retry After Seconds set to 30 seconds"},
        {"empty Retry-After",
         {VORN_OK, 503, "Retry-After:  \r\n", err},
         VORN_CLOUD_ERROR_RESPONSE,
         "",
         7,
         "denied",
         0,
         "Error response: "},
        {"lower-case retry-after",
         {VORN_OK, 503, "retry-after: 5\r\n", err},
         VORN_CLOUD_RATE_LIMITED,
         "",
         7,
         "denied",
         5,
         "Retry After Seconds set to 5 seconds"},
        {"Retry-After as a date",
         {VORN_OK, 429, "Retry-After: Wed, 21 Oct 2015 07:28:00 GMT\r\n", err},
         VORN_INVALID_ARGUMENT,
         "",
         0,
         "",
         0,
         "Error [invalid stoi argument]"},
        {"Retry-After beyond 32 bits",
         {VORN_OK, 429, "Retry-After: 4294967296\r\n", err},
         VORN_INVALID_ARGUMENT,
         "",
         0,
         "",
         0,
         "Error [stoi argument out of range]"},
        {"secure channel",
         {VORN_SECURE_CHANNEL_FAILED, 0, "", ""},
         VORN_SECURE_CHANNEL_FAILED,
         "",
         0,
         "",
         0,
         "invoking callback"},
        {"transport error",
         {VORN_ERROR, 200, "", ok},
         VORN_ERROR,
         "",
         0,
         "",
         0,
         "invoking callback"},
        {"transport throws",
         {VORN_OK, 200, "", ok, true},
         VORN_INVALID_ARGUMENT,
         "",
         0,
         "",
         0,
         "Error [std::bad_alloc]"},
    };
    for (const Case& c : cases) {
        SetAnswer(c.answer);
        Receiver receiver;
        const size_t mark = LogMark();
        ASSERT_EQ(
            m_communicator->GetIdentity("https://cloud.test/id", Request(), receiver.Callback()),
            VORN_OK)
            << c.name;
        const auto response = receiver.Wait();
        ASSERT_TRUE(response) << c.name;
        EXPECT_EQ(response->m_status, c.status) << c.name;
        EXPECT_EQ(response->m_strVorn, c.vorn) << c.name;
        EXPECT_EQ(response->m_nErrorCode, c.code) << c.name;
        EXPECT_EQ(response->m_strErrorMsg, c.msg) << c.name;
        if (c.status == VORN_CLOUD_RATE_LIMITED) {
            EXPECT_EQ(response->m_nRetryAfterSeconds, c.retryAfter) << c.name;
        }
        EXPECT_NE(LogSince(mark).find(c.log), std::string::npos) << c.name << "\n"
                                                                 << LogSince(mark);
        EXPECT_EQ(receiver.Count(), 1u) << c.name;
    }
}

TEST_F(CloudCommunicatorTest, PostsTheDocumentWithUserAgentAndContentType) {
    Receiver receiver;
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"V","vorn_token":"T"})"});
    ASSERT_EQ(m_communicator->GetIdentity("https://cloud.test:8443/v1/id", Request(),
                                          receiver.Callback()),
              VORN_OK);
    ASSERT_TRUE(receiver.Wait());
    ASSERT_TRUE(m_shared->lastRequest);
    const HttpRequest& sent = *m_shared->lastRequest;
    EXPECT_EQ(sent.GetMethod(), POST);
    EXPECT_EQ(sent.GetHost(), "cloud.test");
    EXPECT_EQ(sent.GetPort(), 8443);
    EXPECT_EQ(sent.GetPath(), "/v1/id");
    EXPECT_EQ(sent.GetUserAgent(), "Zanto Tessel Identity/1.1.34");
    EXPECT_EQ(sent.GetHeaderString(), "Content-Type: application/json\r\n");
    std::string document;
    ASSERT_EQ(CloudFormatConverter::SerializeRequestData(Request(), document), VORN_OK);
    EXPECT_EQ(sent.GetBody(), document);
}

TEST_F(CloudCommunicatorTest, SignerExtendsTheBodyAndAddsItsHeaderOrStopsTheRequest) {
    std::string document;
    ASSERT_EQ(CloudFormatConverter::SerializeRequestData(Request(), document), VORN_OK);
    Receiver receiver;
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"V","vorn_token":"T"})"});
    ASSERT_EQ(m_communicator->GetIdentity(
                  "https://cloud.test/v1/id", Request(), receiver.Callback(),
                  [](std::string& body, std::string& signature, const WaitCanceller&) {
                      body += "+signed";
                      signature = "c2ln";
                      return true;
                  }),
              VORN_OK);
    ASSERT_TRUE(receiver.Wait());
    ASSERT_TRUE(m_shared->lastRequest);
    EXPECT_EQ(m_shared->lastRequest->GetBody(), document + "+signed");
    EXPECT_EQ(m_shared->lastRequest->GetHeaderString(),
              "Content-Type: application/json\r\nX-Vorn-Device-Signature: c2ln\r\n");

    // A signer that fails: nothing is sent, the outcome is a transport failure.
    ASSERT_EQ(m_communicator->GetIdentity(
                  "https://cloud.test/v1/id", Request(), receiver.Callback(),
                  [](std::string&, std::string&, const WaitCanceller&) { return false; }),
              VORN_OK);
    const auto failed = receiver.Wait(2);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->m_status, VORN_ERROR);
    EXPECT_EQ(Bodies().size(), 1u);
}

TEST_F(CloudCommunicatorTest, UnusableUrlEndsEveryExchangeWithInvalidArgument) {
    for (const char* url : {"https://cloud.test/id?x=1", "http://cloud.test/id"}) {
        Receiver receiver;
        const size_t mark = LogMark();
        ASSERT_EQ(m_communicator->GetIdentity(url, Request(), receiver.Callback()), VORN_OK);
        const auto response = receiver.Wait();
        ASSERT_TRUE(response);
        EXPECT_EQ(response->m_status, VORN_INVALID_ARGUMENT);
        EXPECT_NE(LogSince(mark).find("Error [Unsupported URI encountered]"), std::string::npos);
    }
    EXPECT_TRUE(Bodies().empty());
}

TEST_F(CloudCommunicatorTest, RefusalsAreReturnedAndNeverCallBack) {
    auto token = std::make_shared<int>(0);
    bool called = false;
    IdentityResponseCallback callback = [token, &called](const IdentityServiceResponse&) {
        called = true;
    };
    std::weak_ptr<int> alive = token;
    token.reset();

    size_t mark = LogMark();
    EXPECT_EQ(m_communicator->GetIdentity("https://cloud.test/id", Request(), nullptr),
              VORN_INVALID_ARGUMENT);
    EXPECT_NE(LogSince(mark).find("callback expected"), std::string::npos);

    mark = LogMark();
    EXPECT_EQ(
        m_communicator->GetIdentity("https://cloud.test/id", Request(""), std::move(callback)),
        VORN_ERROR);
    EXPECT_NE(LogSince(mark).find("failed to serialise"), std::string::npos);
    EXPECT_TRUE(alive.expired());

    m_communicator.reset();
    EXPECT_FALSE(called);
    EXPECT_TRUE(Bodies().empty());
}

TEST_F(CloudCommunicatorTest, NewerRequestReplacesAnUntakenOne) {
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"V","vorn_token":"T"})"});
    Hold(true);
    Receiver first, replaced, last;
    ASSERT_EQ(
        m_communicator->GetIdentity("https://cloud.test/id", Request("first"), first.Callback()),
        VORN_OK);
    ASSERT_TRUE(WaitEntered(1));  // the worker is busy with the first one

    auto guard = std::make_shared<int>(0);
    std::weak_ptr<int> replacedAlive = guard;
    auto replacedCallback = [guard, cb = replaced.Callback()](const IdentityServiceResponse& r) {
        cb(r);
    };
    guard.reset();
    ASSERT_EQ(m_communicator->GetIdentity("https://cloud.test/id", Request("replaced"),
                                          std::move(replacedCallback)),
              VORN_OK);
    ASSERT_EQ(
        m_communicator->GetIdentity("https://cloud.test/id", Request("last"), last.Callback()),
        VORN_OK);
    EXPECT_TRUE(replacedAlive.expired());  // destroyed at once, never called

    Hold(false);
    ASSERT_TRUE(first.Wait());
    ASSERT_TRUE(last.Wait());
    EXPECT_EQ(replaced.Count(), 0u);
    const std::vector<std::string> bodies = Bodies();
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_NE(bodies[0].find(R"("id":"first")"), std::string::npos);
    EXPECT_NE(bodies[1].find(R"("id":"last")"), std::string::npos);
}

TEST_F(CloudCommunicatorTest, ThrowingCallbackIsLoggedAndTheWorkerGoesOn) {
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"V","vorn_token":"T"})"});
    std::promise<void> thrown;
    const size_t mark = LogMark();
    ASSERT_EQ(m_communicator->GetIdentity("https://cloud.test/id", Request(),
                                          [&thrown](const IdentityServiceResponse&) {
                                              thrown.set_value();
                                              throw std::runtime_error("boom");
                                          }),
              VORN_OK);
    ASSERT_EQ(thrown.get_future().wait_for(10s), std::future_status::ready);
    Receiver receiver;
    ASSERT_EQ(m_communicator->GetIdentity("https://cloud.test/id", Request(), receiver.Callback()),
              VORN_OK);
    ASSERT_TRUE(receiver.Wait());
    EXPECT_EQ(receiver.Wait()->m_strVorn, "V");
    EXPECT_NE(LogSince(mark).find("callback threw an exception; ignored"), std::string::npos);
}

TEST_F(CloudCommunicatorTest, DestructionAbortsTheExchangeAndDropsThePendingRequest) {
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"V","vorn_token":"T"})"});
    {
        // A cloud that would keep the exchange open far longer than a stop
        // may take.
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->holdFor = 30s;
    }
    Receiver busy, pending;
    ASSERT_EQ(m_communicator->GetIdentity("https://cloud.test/id", Request(), busy.Callback()),
              VORN_OK);
    ASSERT_TRUE(WaitEntered(1));
    ASSERT_EQ(m_communicator->GetIdentity("https://cloud.test/id", Request(), pending.Callback()),
              VORN_OK);
    const size_t mark = LogMark();
    const auto started = std::chrono::steady_clock::now();
    m_communicator.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    // The aborted exchange still ends in its one callback, as a transport failure.
    ASSERT_EQ(busy.Count(), 1u);
    EXPECT_EQ(busy.Wait()->m_status, VORN_ERROR);
    EXPECT_EQ(pending.Count(), 0u);
    EXPECT_EQ(Bodies().size(), 1u);
    const std::string log = LogSince(mark);
    EXPECT_NE(log.find("finished"), std::string::npos);
    EXPECT_EQ(log.find("exiting"), std::string::npos);
}

// Stop may come from several owners' paths at once, while requests are still
// being placed: every call returns, the worker is joined once, and requests
// placed after the stop are refused without their callback being called.
TEST_F(CloudCommunicatorTest, StopTwiceAndConcurrentlyWithGetIdentity) {
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"V","vorn_token":"T"})"});
    std::atomic<bool> stopped{false};
    std::atomic<int> refusedAfterStop{0};
    std::atomic<int> calledAfterStop{0};
    std::thread requester([&] {
        for (int i = 0; i < 2000; ++i) {
            const bool afterStop = stopped.load();
            const VORN_STATUS status = m_communicator->GetIdentity(
                "https://cloud.test/id", Request(), [&, afterStop](const IdentityServiceResponse&) {
                    if (afterStop) {
                        ++calledAfterStop;
                    }
                });
            if (afterStop) {
                EXPECT_EQ(status, VORN_FAILED);
                ++refusedAfterStop;
            }
        }
    });
    std::this_thread::sleep_for(5ms);
    std::thread first([&] { m_communicator->Stop(); });
    std::thread second([&] { m_communicator->Stop(); });
    first.join();
    second.join();
    stopped = true;
    requester.join();
    m_communicator->Stop();
    EXPECT_EQ(calledAfterStop.load(), 0);
    EXPECT_EQ(m_communicator->GetIdentity("https://cloud.test/id", Request(),
                                          [](const IdentityServiceResponse&) {}),
              VORN_FAILED);
}

TEST_F(CloudCommunicatorTest, DestructionOfAnIdleCommunicatorLogsExitingThenFinished) {
    Receiver receiver;
    SetAnswer({VORN_OK, 200, "", R"({"vorn":"V","vorn_token":"T"})"});
    auto guard = std::make_shared<int>(0);
    std::weak_ptr<int> callbackAlive = guard;
    ASSERT_EQ(m_communicator->GetIdentity(
                  "https://cloud.test/id", Request(),
                  [guard, cb = receiver.Callback()](const IdentityServiceResponse& r) { cb(r); }),
              VORN_OK);
    guard.reset();
    // The worker releases the callback just before it waits again.
    ASSERT_TRUE(WaitUntil([&] { return callbackAlive.expired(); }, 10s));
    std::this_thread::sleep_for(50ms);
    const size_t mark = LogMark();
    m_communicator.reset();
    const std::string log = LogSince(mark);
    const size_t exiting = log.find("exiting");
    ASSERT_NE(exiting, std::string::npos) << log;
    EXPECT_NE(log.find("finished", exiting), std::string::npos);
}

}  // namespace
}  // namespace vorn
