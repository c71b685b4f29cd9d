// Chooses, for each identity request, whether it is bound to the device key,
// as id.json says, and keeps the TPM module loaded between requests once it
// has been needed. Without "device_key" nothing here loads or logs anything.
#pragma once

#include <memory>
#include <string>

#include "agent/cloudcommunicator.h"
#include "agent/vornconfig.h"

namespace vorn {

class DeviceKeySigner;

// Used by the agent's main thread only; the signers it hands out run on the
// cloud communicator's worker and keep what they use alive themselves.
class DeviceKeyBinding {
public:
    DeviceKeyBinding();
    ~DeviceKeyBinding();
    DeviceKeyBinding(const DeviceKeyBinding&) = delete;
    DeviceKeyBinding& operator=(const DeviceKeyBinding&) = delete;

    // The file the key is kept in, in the data directory.
    static constexpr const char* kKeyFileName = "vorndevicekey.tpm";

    // True with 'signer' empty when the device key is off, true with a
    // signer when it is "tpm", false (an error line logged) when the setting
    // is invalid or the TPM module cannot be loaded: the request must then
    // not be sent at all.
    bool SignerFor(const CVORNConfig& config, RequestSigner& signer);

private:
    std::shared_ptr<DeviceKeySigner> m_ptrSigner;
    std::string m_strTcti;
    int m_nTimeoutSeconds = 0;
};

}  // namespace vorn
