#include "agent/devicekeysigner.h"

#include <openssl/evp.h>

#include <chrono>
#include <ctime>

#include "agent/cryptoutils.h"
#include "common/textescape.h"
#include "common/vornlogger.h"

namespace vorn {

namespace {

int64_t SystemNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::string DeviceKeyFingerprint(const std::string& spki) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (spki.empty() ||
        EVP_Digest(spki.data(), spki.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        return {};
    }
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 0xF];
    }
    return hex;
}

DeviceKeySigner::DeviceKeySigner(std::unique_ptr<IDeviceKeyChip> chip, std::string keyPath,
                                 std::function<int64_t()> clock)
    : m_ptrChip(std::move(chip)),
      m_strKeyPath(std::move(keyPath)),
      m_fnNow(clock ? std::move(clock) : std::function<int64_t()>(SystemNow)) {}

std::string DeviceKeySigner::Rfc3339(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm utc {};
    char text[32] = "";
    if (gmtime_r(&t, &utc) == nullptr ||
        strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0) {
        return {};
    }
    return text;
}

bool DeviceKeySigner::AddDeviceKeyMembers(std::string& body, const std::string& spki, int64_t now) {
    std::string spkiText;
    const std::string time = Rfc3339(now);
    if (body.size() < 2 || body.front() != '{' || body.back() != '}' || time.empty() ||
        Base64Encode(spki, spkiText) != VORN_OK) {
        return false;
    }
    // Base64 and the time need no JSON escaping.
    std::string members = body.size() > 2 ? "," : "";
    members += "\"device_key\":{\"alg\":\"ES256\",\"spki\":\"" + spkiText +
               "\"},\"device_key_time\":\"" + time + "\"}";
    body.pop_back();
    body += members;
    return true;
}

bool DeviceKeySigner::loadOrCreate(IDeviceKeySession& session, std::string& spki,
                                   std::string& error) {
    DeviceKeyBlob blob;
    std::string why;
    const std::string path = EscapeUntrusted(m_strKeyPath);
    switch (ReadDeviceKeyFile(m_strKeyPath, blob, why)) {
        case DeviceKeyFileState::kRead: {
            const auto loaded = session.Load(blob, spki, why);
            if (loaded == IDeviceKeySession::LoadResult::kLoaded) {
                if (spki == blob.m_strSpki) {
                    return true;
                }
                why = "its public key does not match the key the TPM loaded";
            } else if (loaded == IDeviceKeySession::LoadResult::kFailed) {
                error = why;
                return false;
            }
            VORN_LOG_WARNING(
                "The device key in %s does not load into the TPM at %s (%s): the TPM was "
                "cleared or this is another machine. A new device key is made; the cloud "
                "service will treat this as a new device.",
                path.c_str(), EscapeUntrusted(m_ptrChip->Name()).c_str(),
                EscapeUntrusted(why).c_str());
            break;
        }
        case DeviceKeyFileState::kMissing:
            VORN_LOG_DEBUG("No device key yet in %s: making one in the TPM at %s", path.c_str(),
                           EscapeUntrusted(m_ptrChip->Name()).c_str());
            break;
        case DeviceKeyFileState::kUnusable:
            VORN_LOG_WARNING("The device key file %s is unusable (%s); a new device key is made",
                             path.c_str(), EscapeUntrusted(why).c_str());
            break;
        case DeviceKeyFileState::kUnreadable:
            error = "cannot read the device key file " + m_strKeyPath + ": " + why;
            return false;
    }
    DeviceKeyBlob created;
    if (!session.Create(created, error)) {
        return false;
    }
    if (!WriteDeviceKeyFile(m_strKeyPath, created, why)) {
        // A key that is not kept would be lost at the next start, and with it
        // the identity bound to it: better no request than one with it.
        error = "cannot store the new device key: " + why;
        return false;
    }
    VORN_LOG_DEBUG("New device key stored in %s, fingerprint %s", path.c_str(),
                   DeviceKeyFingerprint(created.m_strSpki).c_str());
    spki = created.m_strSpki;
    return true;
}

bool DeviceKeySigner::SignRequest(std::string& body, std::string& signature, std::string& error,
                                  const WaitCanceller* cancel) {
    const std::string chip = m_ptrChip->Name();
    std::string why;
    std::unique_ptr<IDeviceKeySession> session = m_ptrChip->Open(cancel, why);
    std::string spki;
    if (!session || !loadOrCreate(*session, spki, why)) {
        error = "TPM " + chip + ": " + why;
        return false;
    }
    std::string signedBody = body;
    if (!AddDeviceKeyMembers(signedBody, spki, m_fnNow())) {
        error = "TPM " + chip + ": the request document cannot carry the device key";
        return false;
    }
    unsigned char digest[32];
    unsigned int digestSize = 0;
    if (EVP_Digest(signedBody.data(), signedBody.size(), digest, &digestSize, EVP_sha256(),
                   nullptr) != 1 ||
        digestSize != sizeof digest) {
        error = "TPM " + chip + ": cannot hash the request";
        return false;
    }
    std::string der;
    if (!session->Sign(digest, der, why)) {
        error = "TPM " + chip + ": " + why;
        return false;
    }
    if (Base64Encode(der, signature) != VORN_OK) {
        error = "TPM " + chip + ": empty signature";
        return false;
    }
    body = std::move(signedBody);
    return true;
}

}  // namespace vorn
