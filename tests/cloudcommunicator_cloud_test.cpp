// Every outcome of an identity exchange, against a real vorn-cloud over TLS.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "agent/cloudcommunicator.h"
#include "tests/cloudpeer.h"
#include "tests/support/faketransport.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using test::CloudPeer;
using test::LogMark;
using test::LogSince;
using test::WaitUntil;

using Receiver = test::IdentityReceiver;

IdentityServiceRequest Request(const std::string& serial = "SN-1") {
    return test::MinimalIdentityRequest("bid", serial);
}

CloudPeer::Options Peer(const char* query, bool untrusted = false) {
    CloudPeer::Options options;
    options.defaultQuery = query;
    options.untrusted = untrusted;
    return options;
}

TEST(CloudCommunicatorOverTls, EveryRowOfTheOutcomeTable) {
    struct Case {
        const char* name;
        std::optional<CloudPeer::Options> peer;  // none: a closed port
        VORN_STATUS status;
        bool identity;
        int32_t code;
        int64_t retryAfter;
        const char* log;
    } cases[] = {
        {"200", Peer(""), VORN_OK, true, 0, 0, "invoking callback"},
        {"200 without identity", Peer("body=nomembers"), VORN_OK, false, 0, 0,
         "failed to deserialise"},
        {"200 not JSON", Peer("body=notjson"), VORN_OK, false, 0, 0, "failed to deserialise"},
        {"404", Peer("status=404"), VORN_CLOUD_ERROR_RESPONSE, false, 404, 0, "Error response: "},
        {"503", Peer("status=503"), VORN_CLOUD_ERROR_RESPONSE, false, 503, 0, "Error response: "},
        {"302 not followed", Peer("redirect=https://127.0.0.1:1/x"), VORN_CLOUD_ERROR_RESPONSE,
         false, 302, 0, "Error response: "},
        {"503 Retry-After", Peer("status=503&retry_after=120"), VORN_CLOUD_RATE_LIMITED, false, 503,
         120, "Retry After Seconds set to 120 seconds"},
        {"404 Retry-After", Peer("status=404&retry_after=7"), VORN_CLOUD_RATE_LIMITED, false, 404,
         7, "Retry After Seconds set to 7 seconds"},
        {"429 Retry-After date", Peer("status=429&retry_after=Wed, 21 Oct 2015 07:28:00 GMT"),
         VORN_INVALID_ARGUMENT, false, 0, 0, "Error [invalid stoi argument]"},
        {"429 Retry-After beyond 32 bits", Peer("status=429&retry_after=99999999999"),
         VORN_INVALID_ARGUMENT, false, 0, 0, "Error [stoi argument out of range]"},
        {"204", Peer("status=204"), VORN_ERROR, false, 0, 0, "Response 204 has no body"},
        {"body over 1 MiB", Peer("body=oversize"), VORN_ERROR, false, 0, 0,
         "Response body larger than"},
        {"untrusted certificate", Peer("", true), VORN_SECURE_CHANNEL_FAILED, false, 0, 0,
         "Unable to send request"},
        {"closed port", std::nullopt, VORN_ERROR, false, 0, 0, "Unable to send request"},
    };
    test::CurlGlobalInitOnce();
    CloudCommunicator communicator;
    for (const Case& c : cases) {
        std::unique_ptr<CloudPeer> peer;
        std::string url =
            "https://127.0.0.1:" + std::to_string(test::ClosedLoopbackTcpPort()) + "/v1/identity";
        if (c.peer) {
            peer = std::make_unique<CloudPeer>(*c.peer);
            url = peer->url();
        }
        Receiver receiver;
        const size_t mark = LogMark();
        ASSERT_EQ(communicator.GetIdentity(url, Request(), receiver.Callback()), VORN_OK);
        const auto response = receiver.Wait();
        ASSERT_TRUE(response) << c.name;
        EXPECT_EQ(response->m_status, c.status) << c.name;
        EXPECT_EQ(!response->m_strVorn.empty() && !response->m_strToken.empty(), c.identity)
            << c.name;
        EXPECT_EQ(response->m_nErrorCode, c.code) << c.name;
        EXPECT_EQ(!response->m_strErrorMsg.empty(), c.code != 0) << c.name;
        if (c.status == VORN_CLOUD_RATE_LIMITED) {
            EXPECT_EQ(response->m_nRetryAfterSeconds, c.retryAfter) << c.name;
        }
        EXPECT_NE(LogSince(mark).find(c.log), std::string::npos) << c.name << "\n"
                                                                 << LogSince(mark);
        EXPECT_EQ(receiver.Count(), 1u) << c.name;
    }
}

TEST(CloudCommunicatorOverTls, SameHardwareKeepsItsVornId) {
    CloudPeer peer(Peer(""));
    CloudCommunicator communicator;
    std::string first;
    for (int i = 0; i < 2; ++i) {
        Receiver receiver;
        ASSERT_EQ(communicator.GetIdentity(peer.url(), Request(), receiver.Callback()), VORN_OK);
        const auto response = receiver.Wait();
        ASSERT_TRUE(response);
        ASSERT_EQ(response->m_status, VORN_OK);
        if (i == 0) {
            first = response->m_strVorn;
        } else {
            EXPECT_EQ(response->m_strVorn, first);
        }
    }
}

// The worker is held by a slow answer while two more requests arrive.
TEST(CloudCommunicatorOverTls, OnlyTheNewerOfTwoQuickRequestsIsSent) {
    CloudPeer peer(Peer("delay_ms=300"));
    CloudCommunicator communicator;
    Receiver busy, replaced, last;
    size_t mark = LogMark();
    ASSERT_EQ(communicator.GetIdentity(peer.url(), Request("busy"), busy.Callback()), VORN_OK);
    ASSERT_TRUE(WaitUntil(
        [&] { return LogSince(mark).find("Sending identity request") != std::string::npos; }, 10s));
    mark = LogMark();
    ASSERT_EQ(communicator.GetIdentity(peer.url(), Request("replaced"), replaced.Callback()),
              VORN_OK);
    ASSERT_EQ(communicator.GetIdentity(peer.url(), Request("last"), last.Callback()), VORN_OK);
    ASSERT_TRUE(busy.Wait());
    ASSERT_TRUE(last.Wait());
    EXPECT_EQ(last.Wait()->m_status, VORN_OK);
    EXPECT_EQ(replaced.Count(), 0u);
    const std::string log = LogSince(mark);
    const size_t sending = log.find("Sending identity request");
    ASSERT_NE(sending, std::string::npos);
    EXPECT_EQ(log.find("Sending identity request", sending + 1), std::string::npos);
}

TEST(CloudCommunicatorOverTls, ThrowingCallbackLeavesTheWorkerServing) {
    CloudPeer peer(Peer(""));
    CloudCommunicator communicator;
    const size_t mark = LogMark();
    ASSERT_EQ(communicator.GetIdentity(peer.url(), Request(),
                                       [](const IdentityServiceResponse&) { throw 42; }),
              VORN_OK);
    ASSERT_TRUE(WaitUntil(
        [&] {
            return LogSince(mark).find("callback threw an exception; ignored") != std::string::npos;
        },
        10s));
    Receiver receiver;
    ASSERT_EQ(communicator.GetIdentity(peer.url(), Request(), receiver.Callback()), VORN_OK);
    ASSERT_TRUE(receiver.Wait());
    EXPECT_EQ(receiver.Wait()->m_status, VORN_OK);
}

TEST(CloudCommunicatorOverTls, DestructionDropsThePendingRequest) {
    CloudPeer peer(Peer("delay_ms=300"));
    Receiver busy, pending;
    {
        CloudCommunicator communicator;
        const size_t mark = LogMark();
        ASSERT_EQ(communicator.GetIdentity(peer.url(), Request(), busy.Callback()), VORN_OK);
        ASSERT_TRUE(WaitUntil(
            [&] { return LogSince(mark).find("Sending identity request") != std::string::npos; },
            10s));
        ASSERT_EQ(communicator.GetIdentity(peer.url(), Request(), pending.Callback()), VORN_OK);
    }
    EXPECT_EQ(busy.Count(), 1u);
    EXPECT_EQ(pending.Count(), 0u);
}

}  // namespace
}  // namespace vorn
