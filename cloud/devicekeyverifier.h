// Checks a request's device key: the "device_key" and "device_key_time"
// members and the X-Vorn-Device-Signature header, an ECDSA P-256 signature
// over the SHA-256 of the exact body bytes.
#pragma once

#include <cstdint>
#include <string>

struct cJSON;

namespace vorn::cloud {

// How far the request's time may be from the service's clock.
constexpr int64_t kDeviceKeyMaxSkewSeconds = 300;

struct DeviceKeyCheck {
    enum Result {
        kAbsent,        // neither the members nor the header: an unbound request
        kValid,         // m_strFingerprint names the key
        kMalformed,     // one without the other, or a member of the wrong form
        kBadSignature,  // the signature does not verify with the key
        kBadTime,       // the time is more than kDeviceKeyMaxSkewSeconds off
    };
    Result m_eResult = kAbsent;
    std::string m_strFingerprint;  // lower-case hex SHA-256 of the SubjectPublicKeyInfo
    std::string m_strWhy;          // for the error answer and the log
};

// 'root' is the parsed body, 'body' its exact bytes, 'signature' the header
// value (empty when absent), 'now' the service's time in seconds since 1970.
DeviceKeyCheck CheckDeviceKey(const cJSON* root, const std::string& body,
                              const std::string& signature, int64_t now);

// "YYYY-MM-DDTHH:MM:SSZ" with optional fractional seconds, or with a
// "+HH:MM"/"-HH:MM" offset, as seconds since 1970; false when it is not
// such a time.
bool ParseRfc3339(const std::string& text, int64_t& seconds);

}  // namespace vorn::cloud
