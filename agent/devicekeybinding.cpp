#include "agent/devicekeybinding.h"

#include "agent/devicekeysigner.h"
#include "agent/linux/tpmdevicekeychip.h"
#include "common/textescape.h"
#include "common/vornlogger.h"
#include "common/vornpath.h"

namespace vorn {

DeviceKeyBinding::DeviceKeyBinding() = default;
DeviceKeyBinding::~DeviceKeyBinding() = default;

bool DeviceKeyBinding::SignerFor(const CVORNConfig& config, RequestSigner& signer) {
    signer = nullptr;
    switch (config.m_eDeviceKey) {
        case CVORNConfig::DeviceKey::kNone:
            return true;
        case CVORNConfig::DeviceKey::kInvalid:
            VORN_LOG_ERROR("device_key in id.json is neither \"none\" nor \"tpm\": not sending");
            return false;
        case CVORNConfig::DeviceKey::kTpm:
            break;
    }
    const std::string tcti = config.m_strTpmTcti.empty() ? kDefaultTpmTcti : config.m_strTpmTcti;
    if (!m_ptrSigner || tcti != m_strTcti || config.m_nTpmTimeoutSeconds != m_nTimeoutSeconds) {
        std::string dataDirectory;
        if (GetVORNDirectoryPath(dataDirectory) != VORN_OK) {
            VORN_LOG_ERROR("TPM %s: no data directory for the device key",
                           EscapeUntrusted(tcti).c_str());
            return false;
        }
        std::string error;
        std::unique_ptr<IDeviceKeyChip> chip =
            CreateTpmDeviceKeyChip(tcti, config.m_nTpmTimeoutSeconds * 1000, error);
        if (!chip) {
            VORN_LOG_ERROR("TPM %s: %s", EscapeUntrusted(tcti).c_str(),
                           EscapeUntrusted(error).c_str());
            return false;
        }
        m_ptrSigner =
            std::make_shared<DeviceKeySigner>(std::move(chip), dataDirectory + kKeyFileName);
        m_strTcti = tcti;
        m_nTimeoutSeconds = config.m_nTpmTimeoutSeconds;
    }
    signer = [keySigner = m_ptrSigner](std::string& body, std::string& signature,
                                       const WaitCanceller& cancel) {
        std::string error;
        if (!keySigner->SignRequest(body, signature, error, &cancel)) {
            VORN_LOG_ERROR("Identity request not sent: it cannot be bound to the device key: %s",
                           EscapeUntrusted(error).c_str());
            return false;
        }
        return true;
    };
    return true;
}

}  // namespace vorn
