// The reference service's device keys: verification, binding and clones,
// with software P-256 keys standing for TPM-held ones.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sqlite3.h>

#include <memory>
#include <string>

#include "agent/cryptoutils.h"
#include "agent/devicekeysigner.h"
#include "cloud/identityservice.h"
#include "support/testsupport.h"

namespace vorn::cloud {
namespace {

constexpr int64_t kNow = 1767225600;
const char kHardware[] = R"({"serial_number":"QUJD","uuid":"u-1"})";
const char kOtherHardware[] = R"({"serial_number":"WFla","uuid":"u-2"})";

// A software key that signs requests as the agent's TPM key does.
class SoftKey {
public:
    SoftKey() : m_key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), EVP_PKEY_free) {}

    // The request with the key's members, and its signature header.
    std::pair<std::string, std::string> Sign(std::string body, int64_t at = kNow) const {
        unsigned char* der = nullptr;
        const int length = i2d_PUBKEY(m_key.get(), &der);
        const std::string spki(reinterpret_cast<char*>(der), static_cast<size_t>(length));
        OPENSSL_free(der);
        EXPECT_TRUE(DeviceKeySigner::AddDeviceKeyMembers(body, spki, at));
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
        unsigned char signature[128];
        size_t size = sizeof signature;
        EXPECT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, m_key.get()), 1);
        EXPECT_EQ(EVP_DigestSign(ctx.get(), signature, &size,
                                 reinterpret_cast<const unsigned char*>(body.data()), body.size()),
                  1);
        std::string header;
        EXPECT_EQ(Base64Encode(std::string(reinterpret_cast<char*>(signature), size), header),
                  VORN_OK);
        return {body, header};
    }

private:
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> m_key;
};

std::string Request(const std::string& hardware = kHardware, const std::string& cache = "") {
    std::string misc = R"({"product":{})" + (cache.empty() ? "" : ",\"cache\":" + cache) + "}";
    return R"({"business":{"id":"b1","installer_key":"k1"},"hardware":)" + hardware +
           R"(,"os":{"hostname":"host"},"misc":)" + misc + "}";
}

struct Answer {
    unsigned status = 0;
    std::string vorn, token, msg;
    std::string Cache() const {
        return R"({"vorn":")" + vorn + R"(","vorn_token":")" + token + R"("})";
    }
};

class DeviceKeyServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(m_service.Open(m_dir.file("devices.db")), VORN_OK);
        m_service.SetClock([] { return kNow; });
    }

    Answer Send(const std::string& body, const std::string& signature = "") {
        const IdentityAnswer raw = m_service.HandleRequest(body, signature);
        Answer answer;
        answer.status = raw.m_nHttpStatus;
        std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(cJSON_Parse(raw.m_strBody.c_str()),
                                                             cJSON_Delete);
        for (auto [name, field] : {std::pair<const char*, std::string*>{"vorn", &answer.vorn},
                                   {"vorn_token", &answer.token},
                                   {"msg", &answer.msg}}) {
            const cJSON* item = cJSON_GetObjectItem(root.get(), name);
            if (cJSON_IsString(item)) {
                *field = item->valuestring;
            }
        }
        return answer;
    }
    Answer Send(const std::pair<std::string, std::string>& signedRequest) {
        return Send(signedRequest.first, signedRequest.second);
    }

    // The suspected_clone_of column of a device ("" when NULL or absent).
    std::string CloneOf(const std::string& vorn) {
        sqlite3* db = nullptr;
        std::string value = "?";
        if (sqlite3_open(m_dir.file("devices.db").c_str(), &db) == SQLITE_OK) {
            sqlite3_stmt* statement = nullptr;
            sqlite3_prepare_v2(db, "SELECT suspected_clone_of FROM devices WHERE vorn = ?1", -1,
                               &statement, nullptr);
            sqlite3_bind_text(statement, 1, vorn.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(statement) == SQLITE_ROW) {
                const auto* text = sqlite3_column_text(statement, 0);
                value = text != nullptr ? reinterpret_cast<const char*>(text) : "";
            }
            sqlite3_finalize(statement);
        }
        sqlite3_close(db);
        return value;
    }

    test::TempDir m_dir;
    CIdentityService m_service;
    SoftKey m_key;
};

TEST_F(DeviceKeyServiceTest, FirstKeyBindsTheIdAndOnlyThatKeyKeepsIt) {
    const Answer first = Send(m_key.Sign(Request()));
    ASSERT_EQ(first.status, 200u) << first.msg;
    const Answer again = Send(m_key.Sign(Request(kHardware, first.Cache())));
    ASSERT_EQ(again.status, 200u) << again.msg;
    EXPECT_EQ(again.vorn, first.vorn);
    EXPECT_EQ(CloneOf(first.vorn), "");

    // Without a key the bound id is refused, whether named by its cache or
    // reached through its hardware.
    for (const std::string& body : {Request(kHardware, again.Cache()), Request()}) {
        const Answer unsigned_ = Send(body);
        EXPECT_EQ(unsigned_.status, 403u);
        EXPECT_EQ(unsigned_.msg, "this device is bound to a device key");
    }
    // The store copied to other hardware with its own key.
    const Answer stolen = Send(SoftKey().Sign(Request(kOtherHardware, again.Cache())));
    EXPECT_EQ(stolen.status, 403u);
    EXPECT_EQ(stolen.msg, "this device is bound to another device key");
    // The rightful device is unaffected.
    EXPECT_EQ(Send(m_key.Sign(Request(kHardware, again.Cache()))).status, 200u);
}

TEST_F(DeviceKeyServiceTest, SameHardwareWithAnotherKeyIsANewFlaggedDevice) {
    const Answer original = Send(m_key.Sign(Request()));
    ASSERT_EQ(original.status, 200u);
    const SoftKey cloneKey;
    const Answer clone = Send(cloneKey.Sign(Request(kHardware, original.Cache())));
    ASSERT_EQ(clone.status, 200u) << clone.msg;
    EXPECT_NE(clone.vorn, original.vorn);
    EXPECT_EQ(CloneOf(clone.vorn), original.vorn);
    // The clone keeps its own id; without a cache it is found again by its key.
    EXPECT_EQ(Send(cloneKey.Sign(Request(kHardware, clone.Cache()))).vorn, clone.vorn);
    EXPECT_EQ(Send(cloneKey.Sign(Request())).vorn, clone.vorn);
    EXPECT_EQ(Send(m_key.Sign(Request())).vorn, original.vorn);
}

TEST_F(DeviceKeyServiceTest, SignaturesAndTimesThatDoNotHoldAreRefused) {
    auto [body, signature] = m_key.Sign(Request());
    std::string tampered = body;
    tampered.replace(tampered.find("\"host\""), 6, "\"hozt\"");
    std::string otherAlg = body;
    otherAlg.replace(otherAlg.find("ES256"), 5, "RS256");
    const auto [otherBody, otherSignature] = SoftKey().Sign(Request());
    const struct {
        const char* name;
        std::string body, signature;
        const char* msg;
    } cases[] = {
        {"body changed", tampered, signature,
         "the device signature does not verify with device_key"},
        {"another key's signature", body, otherSignature,
         "the device signature does not verify with device_key"},
        {"no signature", body, "",
         "device_key, device_key_time and the device signature go together"},
        {"signature without a key", Request(), signature,
         "device_key, device_key_time and the device signature go together"},
        {"signature not Base64", body, "!!!!", "the device signature is not Base64"},
        {"another algorithm", otherAlg, signature, "device_key alg must be ES256"},
    };
    for (const auto& c : cases) {
        const Answer answer = Send(c.body, c.signature);
        EXPECT_EQ(answer.status, 403u) << c.name;
        EXPECT_EQ(answer.msg, c.msg) << c.name;
    }
    for (const int64_t skew : {-301, 301}) {
        const Answer late = Send(m_key.Sign(Request(), kNow + skew));
        EXPECT_EQ(late.status, 403u) << skew;
        EXPECT_EQ(late.msg, "device_key_time is more than 5 minutes off");
    }
    EXPECT_EQ(Send(m_key.Sign(Request(), kNow - 299)).status, 200u);
    EXPECT_EQ(m_service.DeviceCount(), 1);
}

}  // namespace
}  // namespace vorn::cloud
