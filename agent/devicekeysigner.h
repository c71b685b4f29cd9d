// Binds identity requests to the device key: adds the key and the time to
// the request document and signs the exact bytes sent. Used only when the
// device key is switched on; without it nothing here runs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "agent/devicekeychip.h"

namespace vorn {

class WaitCanceller;

// The name of the request header that carries the signature.
inline constexpr const char* kDeviceSignatureHeader = "X-Vorn-Device-Signature";

// Lower-case hex SHA-256 of a SubjectPublicKeyInfo, the key's fingerprint
// (as vornctl status shows it); empty when it cannot be computed.
std::string DeviceKeyFingerprint(const std::string& spki);

// Called on one thread at a time (the cloud communicator's worker).
class DeviceKeySigner {
public:
    // 'keyPath' is the device key file; 'clock' gives seconds since 1970 UTC
    // (empty: the system clock).
    DeviceKeySigner(std::unique_ptr<IDeviceKeyChip> chip, std::string keyPath,
                    std::function<int64_t()> clock = {});

    // Opens the chip, loads the key from the key file, or makes a new one
    // when there is none or the chip refuses the one there (logged with the
    // reason) and stores it; then appends the key and the time to 'body' (a
    // compact JSON object) and signs its SHA-256. On success 'signature' is
    // the Base64 DER ECDSA signature for kDeviceSignatureHeader. False with
    // 'error' (naming the chip) on any failure; 'body' is then unchanged and
    // must not be sent. Every wait on the chip ends as soon as 'cancel' (may
    // be null) is thrown, and the call then fails.
    bool SignRequest(std::string& body, std::string& signature, std::string& error,
                     const WaitCanceller* cancel = nullptr);

    // Appends "device_key" {"alg":"ES256","spki":<Base64>} and
    // "device_key_time" (RFC 3339, UTC) as the last members of a compact
    // JSON object. False (body unchanged) when 'body' does not end in '}'.
    static bool AddDeviceKeyMembers(std::string& body, const std::string& spki, int64_t now);

    // "YYYY-MM-DDTHH:MM:SSZ".
    static std::string Rfc3339(int64_t seconds);

private:
    // The session with the key loaded and its public key, or false.
    bool loadOrCreate(IDeviceKeySession& session, std::string& spki, std::string& error);

    std::unique_ptr<IDeviceKeyChip> m_ptrChip;
    std::string m_strKeyPath;
    std::function<int64_t()> m_fnNow;
};

}  // namespace vorn
