// The device key: its file, the request members it adds, and signing with a
// real TPM implementation (swtpm) checked by the reference service's verifier.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>

#include "agent/devicekeyblob.h"
#include "agent/devicekeysigner.h"
#include "agent/linux/tpmdevicekeychip.h"
#include "cloud/devicekeyverifier.h"
#include "tests/support/cloudservice.h"
#include "tests/support/swtpm.h"
#include "tests/support/testsupport.h"

namespace vorn::test {
namespace {

DeviceKeyBlob SampleBlob() {
    DeviceKeyBlob blob;
    blob.m_strSpki = std::string(91, 'k');
    blob.m_strPublicPart = std::string(90, 'p');
    blob.m_strPrivatePart = std::string(126, 'q');
    return blob;
}

TEST(DeviceKeyBlobTest, RoundTripsAndRefusesMalformedFiles) {
    const std::string good = SerializeDeviceKeyBlob(SampleBlob());
    DeviceKeyBlob parsed;
    std::string why;
    ASSERT_TRUE(ParseDeviceKeyBlob(good, parsed, why)) << why;
    EXPECT_EQ(parsed.m_strSpki, SampleBlob().m_strSpki);
    EXPECT_EQ(parsed.m_strPrivatePart, SampleBlob().m_strPrivatePart);

    const struct {
        const char* name;
        std::string bytes;
    } bad[] = {
        {"empty", ""},
        {"wrong magic", "VORNTPMX" + good.substr(8)},
        {"wrong version", good.substr(0, 8) + '\x02' + good.substr(9)},
        {"truncated in a length", good.substr(0, 10)},
        {"truncated in a field", good.substr(0, good.size() - 1)},
        {"trailing byte", good + 'x'},
        {"zero-length field", good.substr(0, 9) + std::string("\0\0", 2)},
        {"overlong field", good.substr(0, 9) + "\xff\xff" + std::string(70000, 'a')},
    };
    for (const auto& c : bad) {
        DeviceKeyBlob untouched = SampleBlob();
        EXPECT_FALSE(ParseDeviceKeyBlob(c.bytes, untouched, why)) << c.name;
        EXPECT_FALSE(why.empty()) << c.name;
        EXPECT_EQ(untouched.m_strSpki, SampleBlob().m_strSpki) << c.name;
    }
}

TEST(DeviceKeyBlobTest, FileIsWrittenPrivateAndReadBack) {
    TempDir dir;
    const std::string path = dir.file("vorndevicekey.tpm");
    DeviceKeyBlob read;
    std::string why;
    EXPECT_EQ(ReadDeviceKeyFile(path, read, why), DeviceKeyFileState::kMissing);
    ASSERT_TRUE(WriteDeviceKeyFile(path, SampleBlob(), why)) << why;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(FileExists(path + ".tmp"));
    ASSERT_EQ(ReadDeviceKeyFile(path, read, why), DeviceKeyFileState::kRead) << why;
    EXPECT_EQ(read.m_strPublicPart, SampleBlob().m_strPublicPart);

    WriteFile(path, "not a key");
    EXPECT_EQ(ReadDeviceKeyFile(path, read, why), DeviceKeyFileState::kUnusable);
    // A link in the file's place is not followed.
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(symlink(dir.file("elsewhere").c_str(), path.c_str()), 0);
    EXPECT_EQ(ReadDeviceKeyFile(path, read, why), DeviceKeyFileState::kUnusable);
}

TEST(DeviceKeySignerTest, MembersAreAppendedToTheDocument) {
    std::string body = R"({"business":{"id":"b"}})";
    ASSERT_TRUE(DeviceKeySigner::AddDeviceKeyMembers(body, "\x01\x02\x03", 1767225600));
    EXPECT_EQ(body, R"({"business":{"id":"b"},"device_key":{"alg":"ES256","spki":"AQID"},)"
                    R"("device_key_time":"2026-01-01T00:00:00Z"})");
    std::string empty = "{}";
    ASSERT_TRUE(DeviceKeySigner::AddDeviceKeyMembers(empty, "a", 0));
    EXPECT_EQ(empty.rfind("{\"device_key\"", 0), 0u);
    for (std::string notObject : {"", "[]", "{", "\"x\""}) {
        const std::string before = notObject;
        EXPECT_FALSE(DeviceKeySigner::AddDeviceKeyMembers(notObject, "a", 0)) << before;
        EXPECT_EQ(notObject, before);
    }
}

TEST(DeviceKeyVerifierTest, TimesParse) {
    int64_t t = 0;
    ASSERT_TRUE(cloud::ParseRfc3339("2026-01-01T00:00:00Z", t));
    EXPECT_EQ(t, 1767225600);
    ASSERT_TRUE(cloud::ParseRfc3339("2026-01-01T01:00:00.25+01:00", t));
    EXPECT_EQ(t, 1767225600);
    for (const char* bad : {"", "2026-01-01", "2026-02-31T00:00:00Z", "2026-01-01T00:00:00",
                            "2026-01-01T24:00:00Z", "2026-01-01T00:00:00Zjunk"}) {
        EXPECT_FALSE(cloud::ParseRfc3339(bad, t)) << bad;
    }
}

// The signer against swtpm, checked as the service checks requests.
class DeviceKeyTpmTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = SoftwareTpm::Unavailable();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
    }

    static std::unique_ptr<DeviceKeySigner> Signer(const std::string& tcti,
                                                   const std::string& keyPath, int64_t now,
                                                   int timeoutMs = 5000) {
        std::string error;
        auto chip = CreateTpmDeviceKeyChip(tcti, timeoutMs, error);
        EXPECT_TRUE(chip) << error;
        if (!chip) {
            return nullptr;
        }
        return std::make_unique<DeviceKeySigner>(std::move(chip), keyPath, [now] { return now; });
    }

    static cloud::DeviceKeyCheck Verify(const std::string& body, const std::string& signature,
                                        int64_t now) {
        std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(
            cJSON_ParseWithLength(body.data(), body.size()), cJSON_Delete);
        return cloud::CheckDeviceKey(root.get(), body, signature, now);
    }

    static constexpr int64_t kNow = 1767225600;
    TempDir m_data;
};

TEST_F(DeviceKeyTpmTest, SignsVerifiablyAndReloadsItsKey) {
    SoftwareTpm tpm;
    ASSERT_TRUE(tpm.Running());
    const std::string keyPath = m_data.file("vorndevicekey.tpm");
    auto signer = Signer(tpm.Tcti(), keyPath, kNow);
    ASSERT_TRUE(signer);

    std::string body = R"({"business":{"id":"b"}})";
    std::string signature, error;
    ASSERT_TRUE(signer->SignRequest(body, signature, error)) << error;
    const cloud::DeviceKeyCheck first = Verify(body, signature, kNow + 60);
    ASSERT_EQ(first.m_eResult, cloud::DeviceKeyCheck::kValid) << first.m_strWhy;
    DeviceKeyBlob blob;
    ASSERT_EQ(ReadDeviceKeyFile(keyPath, blob, error), DeviceKeyFileState::kRead);
    EXPECT_EQ(DeviceKeyFingerprint(blob.m_strSpki), first.m_strFingerprint);

    // One byte changed, or the time too far off, and the service refuses.
    std::string tampered = body;
    tampered[tampered.find("\"b\"") + 1] = 'c';
    EXPECT_EQ(Verify(tampered, signature, kNow).m_eResult, cloud::DeviceKeyCheck::kBadSignature);
    EXPECT_EQ(Verify(body, signature, kNow + 301).m_eResult, cloud::DeviceKeyCheck::kBadTime);
    EXPECT_EQ(Verify(body, "", kNow).m_eResult, cloud::DeviceKeyCheck::kMalformed);

    // The TPM restarted (its state kept) and a new signer: the same key.
    ASSERT_TRUE(tpm.Restart());
    const size_t mark = LogMark();
    auto again = Signer(tpm.Tcti(), keyPath, kNow);
    std::string body2 = "{}";
    ASSERT_TRUE(again->SignRequest(body2, signature, error)) << error;
    const cloud::DeviceKeyCheck second = Verify(body2, signature, kNow);
    ASSERT_EQ(second.m_eResult, cloud::DeviceKeyCheck::kValid) << second.m_strWhy;
    EXPECT_EQ(second.m_strFingerprint, first.m_strFingerprint);
    EXPECT_EQ(LogSince(mark).find("does not load"), std::string::npos);
}

TEST_F(DeviceKeyTpmTest, AnotherTpmMakesANewKeyAndSaysWhy) {
    const std::string keyPath = m_data.file("vorndevicekey.tpm");
    std::string fingerprint;
    {
        SoftwareTpm tpm;
        ASSERT_TRUE(tpm.Running());
        std::string body = "{}", signature, error;
        ASSERT_TRUE(Signer(tpm.Tcti(), keyPath, kNow)->SignRequest(body, signature, error))
            << error;
        fingerprint = Verify(body, signature, kNow).m_strFingerprint;
    }
    SoftwareTpm other;  // a cleared TPM, or another machine's
    ASSERT_TRUE(other.Running());
    const size_t mark = LogMark();
    std::string body = "{}", signature, error;
    ASSERT_TRUE(Signer(other.Tcti(), keyPath, kNow)->SignRequest(body, signature, error)) << error;
    const cloud::DeviceKeyCheck check = Verify(body, signature, kNow);
    ASSERT_EQ(check.m_eResult, cloud::DeviceKeyCheck::kValid) << check.m_strWhy;
    EXPECT_NE(check.m_strFingerprint, fingerprint);
    const std::string log = LogSince(mark);
    EXPECT_NE(log.find("does not load into the TPM at " + other.Tcti()), std::string::npos) << log;
    EXPECT_NE(log.find("the TPM was cleared or this is another machine"), std::string::npos);
}

TEST_F(DeviceKeyTpmTest, FailuresNameTheTpmAndLeaveTheBodyAlone) {
    const std::string keyPath = m_data.file("vorndevicekey.tpm");
    const std::string original = "{}";
    {
        // Nothing listens: the connection fails at once.
        auto signer = Signer("swtpm:host=127.0.0.1,port=" + std::to_string(ClosedLoopbackTcpPort()),
                             keyPath, kNow);
        std::string body = original, signature, error;
        EXPECT_FALSE(signer->SignRequest(body, signature, error));
        EXPECT_EQ(body, original);
        EXPECT_NE(error.find("TPM swtpm:host=127.0.0.1"), std::string::npos) << error;
        EXPECT_NE(error.find("0x"), std::string::npos) << error;
    }
    {
        // A TPM that never answers: each command gives up after its time-out.
        SilentTpm silent;
        auto signer = Signer(silent.Tcti(), keyPath, kNow, 500);
        std::string body = original, signature, error;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(signer->SignRequest(body, signature, error));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(body, original);
        EXPECT_NE(error.find(silent.Tcti()), std::string::npos) << error;
    }
    EXPECT_FALSE(FileExists(keyPath));
}

}  // namespace
}  // namespace vorn::test
