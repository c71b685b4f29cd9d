// The identity exchange of the reference cloud service, without any sockets:
// one request document in, one HTTP status and answer document out.
//
// A device's VORN id is derived from its business id and its "hardware"
// section (a digest of the two printed canonically), so the same machine gets
// the same id from any instance of the service, even one that starts with an
// empty database, while two businesses never share a device. A
// request whose "cache" names a device this service knows, with the token it
// last issued (or a device it has never seen), keeps that VORN id instead, so
// that a hardware change does not split one device into two. Every success
// issues a fresh token; the instance key is made once per device and kept.
//
// Device keys: a request may carry the device's public key, the time and a
// signature over the body (cloud/devicekeyverifier.h). One that does not
// verify, or whose time is off, is refused with kCodeDeviceKeyRefused. The
// first verified request binds the device's id to its key. Afterwards a
// request that reaches that id (by its cache or its hardware) with no key is
// refused, and so is one with another key from other hardware (a copied
// store); one with another key from the same hardware (a cloned image, or a
// machine whose TPM was cleared) becomes a new device, bound to its own key,
// recorded with "suspected_clone_of" set and a warning in the log. Requests
// without a key for ids never bound are handled exactly as before.
//
// Thread-safe: every call takes the service's mutex (the database connection
// is not shared otherwise).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "common/vornstatus.h"

struct sqlite3;

namespace vorn::cloud {

struct IdentityAnswer {
    unsigned m_nHttpStatus = 500;
    std::string m_strBody;  // compact JSON: the success or the error document
};

class CIdentityService {
public:
    // Error codes carried in the "code" member of error documents. They equal
    // the HTTP status sent with them, which keeps the two easy to correlate.
    static constexpr int kCodeBadRequest = 400;
    static constexpr int kCodeUnauthorized = 401;
    static constexpr int kCodeInternal = 500;
    static constexpr int kCodeDeviceKeyRefused = 403;

    CIdentityService() = default;
    ~CIdentityService();
    CIdentityService(const CIdentityService&) = delete;
    CIdentityService& operator=(const CIdentityService&) = delete;

    // Opens (creating when needed) the device database. An empty path or
    // ":memory:" keeps the devices in memory. Returns VORN_OK, or VORN_ERROR
    // (logged) when the file cannot be opened or its table not created.
    // Must be called once before HandleRequest.
    [[nodiscard]] VORN_STATUS Open(const std::string& dbPath);

    // Adds an accepted business id / installer key pair. With no pair added,
    // any non-empty pair is accepted.
    void AddAccount(const std::string& businessId, const std::string& installerKey);

    // Answers one request body: 200 and the success document, or 400 (not a
    // JSON object, a section or member missing or of the wrong type), 401
    // (business id / installer key not accepted) or 500 (database failure)
    // with the error document {"code":N,"msg":"..."}. Never throws.
    // 'deviceSignature' is the X-Vorn-Device-Signature header (empty when absent).
    IdentityAnswer HandleRequest(const std::string& body, const std::string& deviceSignature = {});

    // Seconds since 1970 UTC, for the device key's time check (tests set it).
    void SetClock(std::function<int64_t()> clock);

    // The VORN id this service derives for a business from a "hardware"
    // section given as JSON text; empty when the text is not a JSON object.
    // The order of "disk_list" does not count and "adapters" are ignored.
    // With a device key fingerprint, the id of a second device on the same
    // hardware under that key (a clone); without one, the hardware's id.
    static std::string DeriveVornId(const std::string& businessId, const std::string& hardwareJson,
                                    const std::string& deviceKeyFingerprint = {});

    // The error document for a code and message (also used by the HTTP layer
    // for its own errors).
    static std::string ErrorDocument(int code, const std::string& message);

    // Number of devices in the database, or -1 on failure.
    long long DeviceCount();

private:
    struct Device {
        std::string m_strVorn;
        std::string m_strToken;
        std::string m_strInstanceKey;
        std::string m_strBusinessId;
        std::string m_strDeviceKey;   // fingerprint of the bound key; empty: unbound
        std::string m_strHardwareId;  // hardware id when the key was last seen
    };

    bool lookupDevice(const std::string& vorn, Device& device);
    bool storeDevice(const Device& device, const std::string& businessId, bool isNew);
    bool storeBinding(const Device& device, const std::string& cloneOf);

    std::mutex m_mutex;
    std::function<int64_t()> m_fnNow;                             // guarded by m_mutex
    sqlite3* m_pDb = nullptr;                                     // guarded by m_mutex
    std::set<std::pair<std::string, std::string>> m_setAccounts;  // guarded by m_mutex
};

}  // namespace vorn::cloud
