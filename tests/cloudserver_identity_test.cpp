// The reference cloud service's document logic and fault knobs, without sockets.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "cloud/faultknobs.h"
#include "cloud/identityservice.h"
#include "support/testsupport.h"

namespace vorn::cloud {
namespace {

using vorn::test::TempDir;

const char kHardware[] =
    R"({"serial_number":"QUJD","uuid":"u-1","disk_list":[{"serial_number":"RA=="}]})";

std::string Request(const std::string& hardware = kHardware, const std::string& cache = "",
                    const std::string& business = R"({"id":"b1","installer_key":"k1"})") {
    std::string misc = R"({"product":{})" + (cache.empty() ? "" : ",\"cache\":" + cache) + "}";
    return R"({"business":)" + business + R"(,"hardware":)" + hardware +
           R"(,"os":{"hostname":"host"},"misc":)" + misc + "}";
}

struct Parsed {
    std::string vorn, token, instanceKey, msg;
    int code = 0;
};

Parsed Parse(const std::string& body) {
    Parsed parsed;
    cJSON* root = cJSON_Parse(body.c_str());
    EXPECT_TRUE(cJSON_IsObject(root)) << body;
    auto text = [&](const char* name) {
        const cJSON* item = cJSON_GetObjectItemCaseSensitive(root, name);
        return cJSON_IsString(item) ? std::string(item->valuestring) : std::string();
    };
    parsed.vorn = text("vorn");
    parsed.token = text("vorn_token");
    parsed.instanceKey = text("instance_key");
    parsed.msg = text("msg");
    const cJSON* code = cJSON_GetObjectItemCaseSensitive(root, "code");
    parsed.code = cJSON_IsNumber(code) ? code->valueint : 0;
    cJSON_Delete(root);
    return parsed;
}

class IdentityServiceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(VORN_STATUS::VORN_OK, m_service.Open("")); }
    Parsed Ok(const std::string& body) {
        const IdentityAnswer answer = m_service.HandleRequest(body);
        EXPECT_EQ(200u, answer.m_nHttpStatus) << answer.m_strBody;
        return Parse(answer.m_strBody);
    }
    CIdentityService m_service;
};

TEST_F(IdentityServiceTest, MalformedRequestsGetTheErrorDocument) {
    const struct {
        const char* name;
        std::string body;
    } cases[] = {
        {"empty body", ""},
        {"not json", "business=b1"},
        {"truncated", Request().substr(0, 40)},
        {"array root", "[]"},
        {"empty object", "{}"},
        {"business not an object", R"({"business":"b1","hardware":{},"os":{},"misc":{}})"},
        {"empty business id", Request(kHardware, "", R"({"id":"","installer_key":"k1"})")},
        {"installer key a number", Request(kHardware, "", R"({"id":"b1","installer_key":7})")},
        {"installer key missing", Request(kHardware, "", R"({"id":"b1"})")},
        {"hardware missing", R"({"business":{"id":"b","installer_key":"k"},"os":{"hostname":"h"},)"
                             R"("misc":{"product":{}}})"},
        {"serial missing", Request(R"({"uuid":"u"})")},
        {"serial empty", Request(R"({"serial_number":"","uuid":"u"})")},
        {"serial a number", Request(R"({"serial_number":5,"uuid":"u"})")},
        {"uuid missing", Request(R"({"serial_number":"QUJD"})")},
        {"hostname missing", R"({"business":{"id":"b","installer_key":"k"},"hardware":)" +
                                 std::string(kHardware) + R"(,"os":{},"misc":{"product":{}}})"},
        {"product missing", R"({"business":{"id":"b","installer_key":"k"},"hardware":)" +
                                std::string(kHardware) + R"(,"os":{"hostname":"h"},"misc":{}})"},
        {"cache without token", Request(kHardware, R"({"vorn":"x"})")},
        {"cache token not a string", Request(kHardware, R"({"vorn":"x","vorn_token":1})")},
        {"nesting beyond the parser's limit", std::string(5000, '[') + std::string(5000, ']')},
    };
    for (const auto& c : cases) {
        const IdentityAnswer answer = m_service.HandleRequest(c.body);
        EXPECT_EQ(400u, answer.m_nHttpStatus) << c.name;
        const Parsed parsed = Parse(answer.m_strBody);
        EXPECT_EQ(400, parsed.code) << c.name;
        EXPECT_FALSE(parsed.msg.empty()) << c.name;
        EXPECT_TRUE(parsed.vorn.empty()) << c.name;
    }
    EXPECT_EQ(0, m_service.DeviceCount());
}

TEST_F(IdentityServiceTest, SuccessCarriesIdTokenAndInstanceKey) {
    // Member names in any letter case, and an empty uuid, are accepted.
    const Parsed first = Ok(R"({"Business":{"ID":"b1","Installer_Key":"k1"},)"
                            R"("HARDWARE":{"serial_number":"QUJD","uuid":""},)"
                            R"("os":{"hostname":"h"},"misc":{"product":{}}})");
    EXPECT_EQ(CIdentityService::DeriveVornId("b1", R"({"serial_number":"QUJD","uuid":""})"),
              first.vorn);
    EXPECT_EQ(36u, first.vorn.size());
    EXPECT_EQ(64u, first.token.size());
    EXPECT_EQ(32u, first.instanceKey.size());

    // Asking again: same device, same instance key, fresh token.
    const Parsed second = Ok(R"({"business":{"id":"b1","installer_key":"k1"},)"
                             R"("hardware":{"uuid":"","serial_number":"QUJD"},)"
                             R"("os":{"hostname":"other"},"misc":{"product":{}}})");
    EXPECT_EQ(first.vorn, second.vorn);
    EXPECT_EQ(first.instanceKey, second.instanceKey);
    EXPECT_NE(first.token, second.token);
    EXPECT_EQ(1, m_service.DeviceCount());
}

TEST(IdentityServiceIdTest, IdDependsOnBusinessAndHardwareNotOnOrder) {
    const std::string id = CIdentityService::DeriveVornId("b1", kHardware);
    ASSERT_EQ(36u, id.size());
    const struct {
        const char* name;
        const char* business;
        const char* hardware;
        bool same;
    } cases[] = {
        {"members reordered", "b1",
         R"({"disk_list":[{"serial_number":"RA=="}],"uuid":"u-1","serial_number":"QUJD"})", true},
        {"adapters ignored", "b1",
         R"({"serial_number":"QUJD","uuid":"u-1","disk_list":[{"serial_number":"RA=="}],)"
         R"("adapters":[{"mac":"AAECAwQF"}]})",
         true},
        {"another serial", "b1",
         R"({"serial_number":"QUJE","uuid":"u-1",)"
         R"("disk_list":[{"serial_number":"RA=="}]})",
         false},
        {"another business", "b2", kHardware, false},
        {"a disk added", "b1",
         R"({"serial_number":"QUJD","uuid":"u-1","disk_list":[{"serial_number":"RA=="},)"
         R"({"serial_number":"RQ=="}]})",
         false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.same, id == CIdentityService::DeriveVornId(c.business, c.hardware)) << c.name;
    }
    // A boot that enumerates the disks the other way round is the same machine;
    // the order of any other list still counts.
    EXPECT_EQ(CIdentityService::DeriveVornId(
                  "b1", R"({"disk_list":[{"serial_number":"QQ=="},{"serial_number":"Qg=="}]})"),
              CIdentityService::DeriveVornId(
                  "b1", R"({"disk_list":[{"serial_number":"Qg=="},{"serial_number":"QQ=="}]})"));
    EXPECT_NE(CIdentityService::DeriveVornId("b1", R"({"a":["1","2"]})"),
              CIdentityService::DeriveVornId("b1", R"({"a":["2","1"]})"));
    EXPECT_EQ("", CIdentityService::DeriveVornId("b1", "[]"));
}

TEST_F(IdentityServiceTest, SameHardwareUnderTwoBusinessesIsTwoDevices) {
    const Parsed first = Ok(Request());
    const Parsed other = Ok(Request(kHardware, "", R"({"id":"b2","installer_key":"k2"})"));
    EXPECT_NE(first.vorn, other.vorn);
    EXPECT_NE(first.instanceKey, other.instanceKey);
    EXPECT_EQ(2, m_service.DeviceCount());

    // The second business cannot take the first one's device over by naming it
    // in its cache, with or without the token: it keeps its own device.
    for (const std::string& token : {first.token, std::string("forged")}) {
        const Parsed claim = Ok(
            Request(kHardware, R"({"vorn":")" + first.vorn + R"(","vorn_token":")" + token + "\"}",
                    R"({"id":"b2","installer_key":"k2"})"));
        EXPECT_EQ(other.vorn, claim.vorn);
        EXPECT_EQ(other.instanceKey, claim.instanceKey);
    }
    // The first business still has its device, key unchanged.
    const Parsed again = Ok(Request());
    EXPECT_EQ(first.vorn, again.vorn);
    EXPECT_EQ(first.instanceKey, again.instanceKey);

    // An id claimed ahead through a forged cache under another business does
    // not hand that business's instance key to the rightful one.
    const std::string hardware = R"({"serial_number":"Tk9X","uuid":"u-9"})";
    const std::string rightful = CIdentityService::DeriveVornId("b1", hardware);
    const Parsed squatter =
        Ok(Request(hardware, R"({"vorn":")" + rightful + R"(","vorn_token":"t"})",
                   R"({"id":"b2","installer_key":"k2"})"));
    ASSERT_EQ(rightful, squatter.vorn);
    const Parsed owner = Ok(Request(hardware));
    EXPECT_EQ(rightful, owner.vorn);
    EXPECT_NE(squatter.instanceKey, owner.instanceKey);
}

TEST(IdentityServiceRestartTest, DatabaseKeepsDevicesAcrossRestarts) {
    TempDir dir;
    Parsed before;
    {
        CIdentityService service;
        ASSERT_EQ(VORN_STATUS::VORN_OK, service.Open(dir.file("devices.db")));
        before = Parse(service.HandleRequest(Request()).m_strBody);
    }
    CIdentityService service;
    ASSERT_EQ(VORN_STATUS::VORN_OK, service.Open(dir.file("devices.db")));
    EXPECT_EQ(1, service.DeviceCount());
    const Parsed after = Parse(service.HandleRequest(Request()).m_strBody);
    EXPECT_EQ(before.vorn, after.vorn);
    EXPECT_EQ(before.instanceKey, after.instanceKey);

    // Even without the database the id is the same: it comes from the hardware.
    CIdentityService fresh;
    ASSERT_EQ(VORN_STATUS::VORN_OK, fresh.Open(""));
    EXPECT_EQ(before.vorn, Parse(fresh.HandleRequest(Request()).m_strBody).vorn);
}

TEST(IdentityServiceRestartTest, DatabaseFilesAreReadableByTheOwnerOnly) {
    TempDir dir;
    const std::string db = dir.file("devices.db");
    // A side file left world-readable by an earlier run is tightened as well.
    { std::ofstream(db + "-wal").put('\0'); }
    ::chmod((db + "-wal").c_str(), 0644);
    const mode_t old = ::umask(022);
    {
        CIdentityService service;
        ASSERT_EQ(VORN_STATUS::VORN_OK, service.Open(db));
        service.HandleRequest(Request());
        for (const std::string& file : {db, db + "-wal", db + "-shm"}) {
            struct stat info {};
            ASSERT_EQ(0, ::stat(file.c_str(), &info)) << file;
            EXPECT_EQ(0600u, info.st_mode & 07777) << file;
        }
    }
    ::umask(old);
}

TEST(IdentityServiceRestartTest, UnusableDatabasePathFailsToOpen) {
    CIdentityService service;
    EXPECT_EQ(VORN_STATUS::VORN_ERROR, service.Open("/nonexistent-dir/x/devices.db"));
    EXPECT_EQ(500u, service.HandleRequest(Request()).m_nHttpStatus);
}

TEST_F(IdentityServiceTest, CacheKeepsTheIdWhenTheTokenMatches) {
    const Parsed original = Ok(Request());
    const std::string otherHardware = R"({"serial_number":"WFla","uuid":"u-2"})";
    const std::string derivedOther = CIdentityService::DeriveVornId("b1", otherHardware);
    ASSERT_NE(original.vorn, derivedOther);

    // The hardware changed, but the device proves who it is with its token.
    const Parsed kept =
        Ok(Request(otherHardware, R"({"vorn":")" + original.vorn + R"(","vorn_token":")" +
                                      original.token + R"(","instance_key":"ik"})"));
    EXPECT_EQ(original.vorn, kept.vorn);
    EXPECT_EQ(original.instanceKey, kept.instanceKey);

    // The old token is spent: a stale or forged token falls back to the hardware id.
    const Parsed stale =
        Ok(Request(otherHardware, R"({"vorn":")" + original.vorn + R"(","vorn_token":")" +
                                      original.token + R"("})"));
    EXPECT_EQ(derivedOther, stale.vorn);

    // An id this instance never issued (another instance's database) is kept if
    // well formed; anything else is ignored.
    const std::string foreign = "0123abcd-0000-5000-8000-00000000beef";
    EXPECT_EQ(foreign,
              Ok(Request(otherHardware, R"({"vorn":")" + foreign + R"(","vorn_token":"t"})")).vorn);
    EXPECT_EQ(derivedOther,
              Ok(Request(otherHardware, R"({"vorn":"../etc","vorn_token":"t"})")).vorn);
}

TEST_F(IdentityServiceTest, ConfiguredAccountsAreEnforced) {
    EXPECT_EQ(200u, m_service.HandleRequest(Request()).m_nHttpStatus);  // no account: any pair
    m_service.AddAccount("b1", "k1");
    m_service.AddAccount("b2", "k2");
    const struct {
        const char* business;
        unsigned status;
    } cases[] = {
        {R"({"id":"b1","installer_key":"k1"})", 200}, {R"({"id":"b2","installer_key":"k2"})", 200},
        {R"({"id":"b1","installer_key":"k2"})", 401}, {R"({"id":"b3","installer_key":"k1"})", 401},
        {R"({"id":"B1","installer_key":"k1"})", 401},
    };
    for (const auto& c : cases) {
        const IdentityAnswer answer = m_service.HandleRequest(Request(kHardware, "", c.business));
        EXPECT_EQ(c.status, answer.m_nHttpStatus) << c.business;
        if (c.status == 401) {
            EXPECT_EQ(401, Parse(answer.m_strBody).code);
        }
    }
}

TEST(FaultKnobsTest, ParsesEveryKnobAndRejectsMistakes) {
    FaultKnobs knobs;
    std::string error;
    ASSERT_TRUE(ParseFaultKnobs(
        "status=429&retry_after=Wed,%2021%20Oct%202015+07:28:00%20GMT&delay_ms=90000&"
        "body=notjson&redirect=https%3A%2F%2Fh%2Fx&fault=huge-body&once=1",
        knobs, error))
        << error;
    EXPECT_EQ(429u, knobs.m_nStatus.value_or(0));
    EXPECT_EQ("Wed, 21 Oct 2015 07:28:00 GMT", knobs.m_strRetryAfter.value_or(""));
    EXPECT_EQ(FaultKnobs::kMaxDelayMs, knobs.m_nDelayMs);
    EXPECT_EQ(FaultKnobs::Body::NotJson, knobs.m_eBody);
    EXPECT_EQ("https://h/x", knobs.m_strRedirect);
    EXPECT_EQ(FaultKnobs::Fault::HugeBody, knobs.m_eFault);
    EXPECT_TRUE(knobs.m_bOnce);

    ASSERT_TRUE(ParseFaultKnobs("", knobs, error));
    EXPECT_FALSE(knobs.Any());
    ASSERT_TRUE(ParseFaultKnobs("retry_after=&&status=200", knobs, error));
    EXPECT_EQ("", knobs.m_strRetryAfter.value_or("unset"));

    for (const char* bad :
         {"status=99", "status=600", "status=5x0", "status=", "delay_ms=-1", "delay_ms=99999999999",
          "body=big", "fault=explode", "once=yes", "retry_after=1%0D%0AX-Injected:%201",
          "redirect=", "color=red", "status=%2", "status=%zz"}) {
        FaultKnobs untouched;
        untouched.m_nDelayMs = 7;
        error.clear();
        EXPECT_FALSE(ParseFaultKnobs(bad, untouched, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
        EXPECT_EQ(7u, untouched.m_nDelayMs) << bad;
    }
}

}  // namespace
}  // namespace vorn::cloud
