// The seam between the request signer and the chip that holds the device
// key. The Linux implementation talks to a TPM through a module loaded on
// demand (agent/linux/tpmdevicekeychip.h); tests substitute a software key.
#pragma once

#include <memory>
#include <string>

#include "agent/devicekeyblob.h"

namespace vorn {

class WaitCanceller;

// One connection to the chip, used by one thread. Destroying it releases
// everything it loaded into the chip. Every call is bounded in time; a chip
// that does not answer ends the call with an error, and so does a wait
// cancelled through the canceller the session was opened with (the session
// has then ended: every later call fails at once).
class IDeviceKeySession {
public:
    virtual ~IDeviceKeySession() = default;
    enum class LoadResult {
        kLoaded,
        kRefused,  // the key is not this chip's (another chip, a cleared one)
        kFailed,   // the chip could not be asked: nothing is known of the key
    };
    // Loads a key this chip made earlier from 'blob' (its public key is not
    // trusted: the chip's own view of the key is returned in 'spki'); 'error'
    // says why when it is not loaded.
    virtual LoadResult Load(const DeviceKeyBlob& blob, std::string& spki, std::string& error) = 0;
    // Makes a new key and loads it; 'blob' receives its parts and public key.
    virtual bool Create(DeviceKeyBlob& blob, std::string& error) = 0;
    // Signs a SHA-256 digest with the loaded key: an ECDSA signature in DER.
    virtual bool Sign(const unsigned char (&digest)[32], std::string& signature,
                      std::string& error) = 0;
};

class IDeviceKeyChip {
public:
    virtual ~IDeviceKeyChip() = default;
    // What the chip is called in log lines (the TPM's TCTI string).
    virtual std::string Name() const = 0;
    // Null with 'error' when the chip cannot be reached. Every wait of the
    // session, its opening and closing included, ends as soon as 'cancel'
    // (may be null: not cancellable) is thrown; it must outlive the session.
    virtual std::unique_ptr<IDeviceKeySession> Open(const WaitCanceller* cancel,
                                                    std::string& error) = 0;
};

}  // namespace vorn
