// The identity request the agent hands to the cloud communicator, and the
// outcome of one exchange with the cloud identity service.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "agent/attribute.h"
#include "common/vornstatus.h"

namespace vorn {

namespace RequestTags {
inline constexpr const char* pszID = "id";
inline constexpr const char* pszInstallerKey = "installer_key";
}  // namespace RequestTags

// Built by the agent for every identity request; read by the wire-format converter.
struct IdentityServiceRequest {
    std::list<CAttribute> m_lstAttributes;  // in collection order
    std::string m_strBID;                   // business id, must not be empty
    std::string m_strBToken;                // installer key, must not be empty
    std::string m_strVorn;                  // stored VORN id, may be empty
    std::string m_strToken;                 // stored token, may be empty
    std::string m_strInstanceKey;           // stored instance key, may be empty
};

// What the communicator's callback receives. m_nErrorCode and m_strErrorMsg
// mean something only for VORN_CLOUD_ERROR_RESPONSE / VORN_CLOUD_RATE_LIMITED,
// m_nRetryAfterSeconds only for VORN_CLOUD_RATE_LIMITED.
struct IdentityServiceResponse {
    VORN_STATUS m_status = VORN_OK;
    std::string m_strVorn;
    std::string m_strToken;
    std::string m_strInstanceKey;  // empty when the answer has none
    int32_t m_nErrorCode = 0;
    std::string m_strErrorMsg;
    int64_t m_nRetryAfterSeconds = 0;
    // For the administrator, when the exchange failed or was answered with
    // an error: why, escaped for printing and free of secrets ("id.example.com
    // port 443 unreachable: Connection refused", "id.example.com answered HTTP
    // 403, code 1001"). Empty when nothing more is known.
    std::string m_strFailureReason;
};

}  // namespace vorn
