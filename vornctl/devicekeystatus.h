// What `vornctl status` shows of the device key: whether the identity is
// bound to a TPM-held key, and the key's fingerprint.
#pragma once

#include <string>

struct cJSON;

namespace vorn::ctl {

struct DeviceKeyStatus {
    bool m_bEnabled = false;  // id.json asks for "tpm"
    bool m_bBound = false;    // enabled and a well-formed key file is there
    bool m_bPermissionDenied = false;
    std::string m_strFingerprint;  // hex SHA-256 of the public key, when bound
    std::string m_strProblem;      // why not bound although enabled, or empty
    std::string m_strKeyPath;
};

// Reads id.json in 'configDirectory' and the key file in 'dataDirectory'
// (which ends in '/').
DeviceKeyStatus ReadDeviceKeyStatus(const std::string& dataDirectory,
                                    const std::string& configDirectory);

// The text line ("" when the key is off and no key file exists) and the
// JSON members ("device_key", "device_key_bound", "device_key_fingerprint").
std::string DeviceKeyStatusLine(const DeviceKeyStatus& status);
void AddDeviceKeyStatus(const DeviceKeyStatus& status, cJSON* doc);

}  // namespace vorn::ctl
