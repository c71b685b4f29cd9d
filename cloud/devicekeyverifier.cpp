#include "cloud/devicekeyverifier.h"

#include <cjson/cJSON.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cctype>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "agent/devicekeysigner.h"

namespace vorn::cloud {

namespace {

// The longest Base64 text either value can need: a P-256 key is 91 bytes in
// DER and its signature at most 72; anything far longer is refused unread.
constexpr size_t kMaxBase64 = 512;

bool DecodeBase64(const std::string& text, std::string& out) {
    if (text.empty() || text.size() > kMaxBase64 || text.size() % 4 != 0) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool pad = c == '=' && i >= text.size() - 2 &&
                         (i == text.size() - 1 || text[text.size() - 1] == '=');
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || pad)) {
            return false;
        }
    }
    std::vector<unsigned char> bytes(text.size() / 4 * 3 + 1);
    const int n = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0) {
        return false;
    }
    // EVP_DecodeBlock counts the padding as zero bytes.
    size_t length = static_cast<size_t>(n);
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) {
        --length;
    }
    out.assign(reinterpret_cast<const char*>(bytes.data()), length);
    return true;
}

DeviceKeyCheck Fail(DeviceKeyCheck::Result result, const char* why) {
    DeviceKeyCheck check;
    check.m_eResult = result;
    check.m_strWhy = why;
    return check;
}

bool Digits(const std::string& text, size_t at, size_t count, int& value) {
    if (at + count > text.size()) {
        return false;
    }
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

bool ParseRfc3339(const std::string& text, int64_t& seconds) {
    int year, month, day, hour, minute, second;
    if (text.size() < 20 || !Digits(text, 0, 4, year) || text[4] != '-' ||
        !Digits(text, 5, 2, month) || text[7] != '-' || !Digits(text, 8, 2, day) ||
        (text[10] != 'T' && text[10] != 't') || !Digits(text, 11, 2, hour) || text[13] != ':' ||
        !Digits(text, 14, 2, minute) || text[16] != ':' || !Digits(text, 17, 2, second)) {
        return false;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
        return false;
    }
    size_t at = 19;
    if (text[at] == '.') {
        ++at;
        const size_t start = at;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
            ++at;
        }
        if (at == start || at - start > 9) {
            return false;
        }
    }
    int64_t offset = 0;
    if (at < text.size() && (text[at] == 'Z' || text[at] == 'z') && at + 1 == text.size()) {
        offset = 0;
    } else if (at + 6 == text.size() && (text[at] == '+' || text[at] == '-')) {
        int oh, om;
        if (!Digits(text, at + 1, 2, oh) || text[at + 3] != ':' || !Digits(text, at + 4, 2, om) ||
            oh > 23 || om > 59) {
            return false;
        }
        offset = (text[at] == '+' ? 1 : -1) * (oh * 3600 + om * 60);
    } else {
        return false;
    }
    struct tm parts {};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    const time_t t = timegm(&parts);
    if (t == static_cast<time_t>(-1) || parts.tm_mday != day) {
        return false;  // 31 February and its like
    }
    seconds = static_cast<int64_t>(t) - offset;
    return true;
}

DeviceKeyCheck CheckDeviceKey(const cJSON* root, const std::string& body,
                              const std::string& signature, int64_t now) {
    const cJSON* key = cJSON_GetObjectItem(root, "device_key");
    const cJSON* time = cJSON_GetObjectItem(root, "device_key_time");
    if (key == nullptr && time == nullptr && signature.empty()) {
        return DeviceKeyCheck{};
    }
    if (!cJSON_IsObject(key) || !cJSON_IsString(time) || signature.empty()) {
        return Fail(DeviceKeyCheck::kMalformed,
                    "device_key, device_key_time and the device signature go together");
    }
    const cJSON* alg = cJSON_GetObjectItem(key, "alg");
    const cJSON* spkiText = cJSON_GetObjectItem(key, "spki");
    if (!cJSON_IsString(alg) || std::strcmp(alg->valuestring, "ES256") != 0) {
        return Fail(DeviceKeyCheck::kMalformed, "device_key alg must be ES256");
    }
    std::string spki, der;
    if (!cJSON_IsString(spkiText) || !DecodeBase64(spkiText->valuestring, spki)) {
        return Fail(DeviceKeyCheck::kMalformed, "device_key spki is not Base64");
    }
    if (!DecodeBase64(signature, der)) {
        return Fail(DeviceKeyCheck::kMalformed, "the device signature is not Base64");
    }
    const auto* p = reinterpret_cast<const unsigned char*>(spki.data());
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
        d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())), EVP_PKEY_free);
    char group[32] = "";
    size_t groupLength = 0;
    if (!pkey || p != reinterpret_cast<const unsigned char*>(spki.data()) + spki.size() ||
        EVP_PKEY_get_base_id(pkey.get()) != EVP_PKEY_EC ||
        EVP_PKEY_get_group_name(pkey.get(), group, sizeof group, &groupLength) != 1 ||
        std::strcmp(group, "prime256v1") != 0) {
        return Fail(DeviceKeyCheck::kMalformed, "device_key spki is not a P-256 public key");
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, pkey.get()) != 1 ||
        EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(der.data()), der.size(),
                         reinterpret_cast<const unsigned char*>(body.data()), body.size()) != 1) {
        return Fail(DeviceKeyCheck::kBadSignature,
                    "the device signature does not verify with device_key");
    }
    // Checked after the signature, so that the time is the device's own.
    int64_t sent = 0;
    if (!ParseRfc3339(time->valuestring, sent)) {
        return Fail(DeviceKeyCheck::kMalformed, "device_key_time is not an RFC 3339 time");
    }
    if (sent > now + kDeviceKeyMaxSkewSeconds || sent < now - kDeviceKeyMaxSkewSeconds) {
        return Fail(DeviceKeyCheck::kBadTime, "device_key_time is more than 5 minutes off");
    }
    DeviceKeyCheck check;
    check.m_eResult = DeviceKeyCheck::kValid;
    check.m_strFingerprint = DeviceKeyFingerprint(spki);
    return check;
}

}  // namespace vorn::cloud
