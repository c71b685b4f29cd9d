// The agent's two configuration files, read once per construction:
//   bs.json  {"id": {"business_id": "...", "installer_key": "...", "url": "..."}}
//   id.json  {"id": {"enable_verbose_logs": true, "min_refresh_interval_seconds": 10,
//                    "device_key": "none", "tpm_tcti": "...", "tpm_timeout_seconds": 10}}
// from the configuration directory. No problem is fatal: each is logged and
// leaves its value empty (or false).
#pragma once

#include <string>

struct cJSON;

namespace vorn {

class CVORNConfig {
public:
    // Reads both files from the configuration directory (GetVORNConfigDirectory).
    CVORNConfig();

    std::string m_strInstallerKey;
    std::string m_strUrl;
    std::string m_strBusinessId;
    bool m_bEnableVerboseLogs = false;
    // The shortest time between the end of one cloud exchange and the start
    // of one a local client asked for; 0 switches the spacing off.
    static constexpr int kDefaultMinRefreshIntervalSeconds = 10;
    static constexpr int kMaxMinRefreshIntervalSeconds = 86400;
    int m_nMinRefreshIntervalSeconds = kDefaultMinRefreshIntervalSeconds;

    // What keeps bs.json from giving all three business values, for the
    // administrator ("/etc/vorn/bs.json has no installer_key"), escaped; ""
    // when all three are there and non-empty. Never quotes a value.
    std::string m_strBootstrapProblem;

    // "device_key": "none" (the default) sends requests as they are; "tpm"
    // binds each one to a key held in the TPM. Any other value is kInvalid:
    // no request is sent, since the one meant may have been "tpm".
    enum class DeviceKey { kNone, kTpm, kInvalid };
    DeviceKey m_eDeviceKey = DeviceKey::kNone;
    // "tpm_tcti": how the TPM is reached; empty means the default
    // (kDefaultTpmTcti, the kernel's resource manager).
    std::string m_strTpmTcti;
    // "tpm_timeout_seconds": the longest wait for any one TPM command.
    static constexpr int kDefaultTpmTimeoutSeconds = 10;
    static constexpr int kMaxTpmTimeoutSeconds = 300;
    int m_nTpmTimeoutSeconds = kDefaultTpmTimeoutSeconds;

private:
    void parseBootstrapConfig(const std::string& directory);
    void parseIdentityConfig(const std::string& directory);
    void parseDeviceKeyConfig(const cJSON* id);
};

}  // namespace vorn
