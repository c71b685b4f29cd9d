#include "vornctl/devicekeystatus.h"

#include <cjson/cJSON.h>
#include <sha2.h>
#include <unistd.h>

#include <cerrno>

#include "agent/devicekeybinding.h"
#include "agent/devicekeyblob.h"
#include "agent/vornconfig.h"
#include "common/textescape.h"
#include "common/vornpath.h"

namespace vorn::ctl {

DeviceKeyStatus ReadDeviceKeyStatus(const std::string& dataDirectory,
                                    const std::string& configDirectory) {
    DeviceKeyStatus status;
    (void)SetVORNConfigDirectory(configDirectory);
    status.m_bEnabled = CVORNConfig().m_eDeviceKey == CVORNConfig::DeviceKey::kTpm;
    status.m_strKeyPath = dataDirectory + DeviceKeyBinding::kKeyFileName;
    DeviceKeyBlob blob;
    std::string why;
    switch (ReadDeviceKeyFile(status.m_strKeyPath, blob, why)) {
        case DeviceKeyFileState::kRead: {
            // libmd rather than the TLS library: status loads no TLS code.
            char hex[SHA256_DIGEST_STRING_LENGTH];
            if (SHA256Data(reinterpret_cast<const uint8_t*>(blob.m_strSpki.data()),
                           blob.m_strSpki.size(), hex) != nullptr) {
                status.m_strFingerprint = hex;
            }
            status.m_bBound = status.m_bEnabled;
            if (!status.m_bEnabled) {
                status.m_strProblem = "device_key is not \"tpm\"; the key file is unused";
            }
            break;
        }
        case DeviceKeyFileState::kMissing:
            if (status.m_bEnabled) {
                status.m_strProblem = "no key yet: the agent makes one at its next exchange";
            }
            break;
        case DeviceKeyFileState::kUnreadable:
            status.m_bPermissionDenied = access(status.m_strKeyPath.c_str(), R_OK) != 0 &&
                                         (errno == EACCES || errno == EPERM);
            status.m_strProblem = "key file unreadable: " + why;
            break;
        case DeviceKeyFileState::kUnusable:
            status.m_strProblem = "key file unusable: " + why;
            break;
    }
    return status;
}

std::string DeviceKeyStatusLine(const DeviceKeyStatus& status) {
    if (!status.m_bEnabled && status.m_strFingerprint.empty() && status.m_strProblem.empty()) {
        return {};
    }
    std::string line = "device key:    ";
    if (status.m_bBound) {
        line += "TPM-bound, fingerprint SHA256:" + status.m_strFingerprint;
    } else {
        line += std::string(status.m_bEnabled ? "tpm" : "off") + ", not bound (" +
                EscapeUntrusted(status.m_strProblem) + ")";
    }
    return line + "\n";
}

void AddDeviceKeyStatus(const DeviceKeyStatus& status, cJSON* doc) {
    cJSON_AddStringToObject(doc, "device_key", status.m_bEnabled ? "tpm" : "none");
    cJSON_AddBoolToObject(doc, "device_key_bound", status.m_bBound);
    if (status.m_strFingerprint.empty()) {
        cJSON_AddNullToObject(doc, "device_key_fingerprint");
    } else {
        cJSON_AddStringToObject(doc, "device_key_fingerprint", status.m_strFingerprint.c_str());
    }
}

}  // namespace vorn::ctl
