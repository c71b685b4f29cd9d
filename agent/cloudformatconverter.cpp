#include "agent/cloudformatconverter.h"

#include <cmath>
#include <memory>
#include <utility>

#include "common/textescape.h"
#include "common/vornlogger.h"

namespace vorn {

namespace {

struct JsonDeleter {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

struct JsonTextDeleter {
    void operator()(char* text) const { cJSON_free(text); }
};

// Adds 'item' to 'parent' under 'name', taking ownership either way.
bool addNamed(cJSON* parent, const char* name, cJSON* item) {
    if (!cJSON_AddItemToObject(parent, name, item)) {
        cJSON_Delete(item);
        return false;
    }
    return true;
}

// An unnamed element goes into an array; a named one becomes a member (an
// array prints only the value of a named element).
void addChild(cJSON* parent, const std::string& tag, cJSON* item) {
    if (tag.empty()) {
        if (!cJSON_AddItemToArray(parent, item)) {
            cJSON_Delete(item);
        }
        return;
    }
    (void)addNamed(parent, tag.c_str(), item);
}

// How much of an answer goes into one log line.
constexpr size_t kLoggedAnswerBytes = 2048;

// True when a string of the JSON text holds a NUL character, written raw or
// as the escape \u0000: the parser ends the value there, so what it hands
// over would be a shortened value the cloud never sent.
bool holdsNulInString(const std::string& text) {
    if (text.find('\0') != std::string::npos) {
        return true;
    }
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!inString) {
            inString = c == '"';
        } else if (c == '"') {
            inString = false;
        } else if (c == '\\') {
            if (text.compare(i + 1, 5, "u0000") == 0) {
                return true;
            }
            ++i;  // the escaped character cannot end the string
        }
    }
    return false;
}

// Why an identity value from a success answer cannot be kept, or nullptr.
// It goes into the store, the next request and vornctl's output, so it must
// be one line of printable text of bounded size.
const char* unusableIdentityValue(const std::string& value) {
    if (value.size() > CloudFormatConverter::kMaxIdentityValueBytes) {
        return "longer than 4096 bytes";
    }
    if (!IsPrintableUTF8(value)) {
        return "not printable UTF-8";
    }
    return nullptr;
}

// Answers come from the network: a member of the wrong type is as good as
// absent, and the root itself may be any JSON value.
const cJSON* getString(const cJSON* root, const char* name) {
    if (!cJSON_IsObject(root)) {
        return nullptr;
    }
    const cJSON* item = cJSON_GetObjectItem(root, name);
    return (cJSON_IsString(item) && item->valuestring != nullptr) ? item : nullptr;
}

// "code" must fit a 32-bit integer after truncation toward zero.
const cJSON* getCode(const cJSON* root, const char* name) {
    if (!cJSON_IsObject(root)) {
        return nullptr;
    }
    const cJSON* item = cJSON_GetObjectItem(root, name);
    if (!cJSON_IsNumber(item)) {
        return nullptr;
    }
    const double value = std::trunc(item->valuedouble);
    if (!std::isfinite(value) || value < -2147483648.0 || value > 2147483647.0) {
        return nullptr;
    }
    return item;
}

}  // namespace

void addAttributeToJson(const CAttribute& attribute, cJSON* parent) {
    if (attribute.m_eType == eAttributeTypeObject || attribute.m_eType == eAttributeTypeArray) {
        if (!attribute.m_spChildren) {
            return;
        }
    } else if (attribute.m_lstValues.empty()) {
        return;
    }

    switch (attribute.m_eType) {
        case eAttributeTypeString: {
            cJSON* item = cJSON_CreateString(attribute.m_lstValues.front().c_str());
            if (item != nullptr) {
                addChild(parent, attribute.m_strTag, item);
            }
            break;
        }
        case eAttributeTypeBool: {
            cJSON* item = cJSON_CreateBool(attribute.m_lstValues.front() == "true");
            if (item != nullptr) {
                addChild(parent, attribute.m_strTag, item);
            }
            break;
        }
        case eAttributeTypeObject: {
            cJSON* object = cJSON_CreateObject();
            if (object == nullptr) {
                break;
            }
            for (const CAttribute& child : *attribute.m_spChildren) {
                addAttributeToJson(child, object);
            }
            addChild(parent, attribute.m_strTag, object);
            break;
        }
        case eAttributeTypeArray: {
            cJSON* array = cJSON_CreateArray();
            if (array == nullptr) {
                break;
            }
            for (const CAttribute& child : *attribute.m_spChildren) {
                addAttributeToJson(child, array);
            }
            (void)addNamed(parent, attribute.m_strTag.c_str(), array);
            break;
        }
        case eAttributeTypeStringArray: {
            cJSON* array = cJSON_CreateArray();
            if (array == nullptr) {
                break;
            }
            for (const std::string& value : attribute.m_lstValues) {
                cJSON* item = cJSON_CreateString(value.c_str());
                if (item == nullptr || !cJSON_AddItemToArray(array, item)) {
                    cJSON_Delete(item);
                }
            }
            (void)addNamed(parent, attribute.m_strTag.c_str(), array);
            break;
        }
        default:
            VORN_LOG_WARNING("Default Attribute Type null encountered.");
            break;
    }
}

VORN_STATUS CloudFormatConverter::SerializeRequestData(const IdentityServiceRequest& rIdRequest,
                                                       std::string& out) {
    JsonPtr root(cJSON_CreateObject());
    if (!root) {
        VORN_LOG_ERROR("Failed to Create Json when creating JSON object tree");
        return VORN_ERROR;
    }
    if (rIdRequest.m_strBID.empty() || rIdRequest.m_strBToken.empty()) {
        VORN_LOG_ERROR("Mandatory Business data missing.");
        return VORN_ERROR;
    }

    cJSON* pBusiness = cJSON_CreateObject();
    if (NULL == pBusiness) {
        VORN_LOG_ERROR("Failed in condition: (NULL == pBusiness)");
        return VORN_ERROR;
    }
    if (!addNamed(root.get(), "business", pBusiness)) {
        VORN_LOG_ERROR("Failed to insert required business object");
        return VORN_ERROR;
    }
    cJSON* pHardware = cJSON_CreateObject();
    if (NULL == pHardware) {
        VORN_LOG_ERROR("Failed in condition: (NULL == pHardware)");
        return VORN_ERROR;
    }
    if (!addNamed(root.get(), "hardware", pHardware)) {
        VORN_LOG_ERROR("Failed to insert required hardware object");
        return VORN_ERROR;
    }
    cJSON* pOs = cJSON_CreateObject();
    if (NULL == pOs || !addNamed(root.get(), "os", pOs)) {
        VORN_LOG_ERROR("Failed in condition: (NULL == pOs)");
        return VORN_ERROR;
    }
    cJSON* pMisc = cJSON_CreateObject();
    if (NULL == pMisc || !addNamed(root.get(), "misc", pMisc)) {
        VORN_LOG_ERROR("Failed in condition: (NULL == pMisc)");
        return VORN_ERROR;
    }
    cJSON* pMiscProduct = cJSON_CreateObject();
    if (NULL == pMiscProduct || !addNamed(pMisc, "product", pMiscProduct)) {
        VORN_LOG_ERROR("Failed in condition: (NULL == pMiscProduct)");
        return VORN_ERROR;
    }

    if (NULL ==
        cJSON_AddStringToObject(pBusiness, RequestTags::pszID, rIdRequest.m_strBID.c_str())) {
        VORN_LOG_ERROR(
            "Failed in condition: (NULL == cJSON_AddStringToObject(pBusiness, RequestTags::pszID, "
            "rIdRequest.m_strBID.c_str()))");
        return VORN_ERROR;
    }
    if (NULL == cJSON_AddStringToObject(pBusiness, RequestTags::pszInstallerKey,
                                        rIdRequest.m_strBToken.c_str())) {
        VORN_LOG_ERROR(
            "Failed in condition: (NULL == cJSON_AddStringToObject(pBusiness, "
            "RequestTags::pszInstallerKey, rIdRequest.m_strBToken.c_str()))");
        return VORN_ERROR;
    }

    for (const CAttribute& attribute : rIdRequest.m_lstAttributes) {
        const auto section = g_mapAttributeSection.find(attribute.m_strTag);
        if (section == g_mapAttributeSection.end()) {
            VORN_LOG_WARNING("Unknown Attribute Tag encountered.");
            continue;
        }
        cJSON* parent = nullptr;
        if (section->second == AttributeTags::pszHardware) {
            parent = pHardware;
        } else if (section->second == AttributeTags::pszOS) {
            parent = pOs;
        } else if (section->second == AttributeTags::pszMisc) {
            parent = pMisc;
        } else if (section->second == AttributeTags::pszProduct) {
            parent = pMiscProduct;
        }
        if (parent != nullptr) {
            addAttributeToJson(attribute, parent);
        }
    }

    if (!cJSON_HasObjectItem(pHardware, AttributeTags::pszSerialNumber) ||
        !cJSON_HasObjectItem(pHardware, AttributeTags::pszUUID)) {
        VORN_LOG_ERROR("Mandatory Hardware data missing.");
        return VORN_ERROR;
    }
    if (!cJSON_HasObjectItem(pOs, AttributeTags::pszHostname)) {
        VORN_LOG_ERROR("Required OS data missing.");
        return VORN_ERROR;
    }

    if (!rIdRequest.m_strVorn.empty() && !rIdRequest.m_strToken.empty()) {
        cJSON* pCache = cJSON_CreateObject();
        if (NULL == pCache) {
            VORN_LOG_ERROR("Failed in condition: (NULL == pCache)");
            return VORN_ERROR;
        }
        // Filled before it is attached, so a failure frees it here.
        JsonPtr cache(pCache);
        if (NULL == cJSON_AddStringToObject(pCache, "vorn", rIdRequest.m_strVorn.c_str()) ||
            NULL == cJSON_AddStringToObject(pCache, "vorn_token", rIdRequest.m_strToken.c_str()) ||
            (!rIdRequest.m_strInstanceKey.empty() &&
             NULL == cJSON_AddStringToObject(pCache, "instance_key",
                                             rIdRequest.m_strInstanceKey.c_str()))) {
            VORN_LOG_ERROR("Failed in condition: (NULL == pCache)");
            return VORN_ERROR;
        }
        if (!addNamed(pMisc, "cache", cache.release())) {
            VORN_LOG_ERROR("Failed in condition: (NULL == pCache)");
            return VORN_ERROR;
        }
    }

    std::unique_ptr<char, JsonTextDeleter> text(cJSON_PrintUnformatted(root.get()));
    if (!text) {
        VORN_LOG_ERROR("Failed to print request data");
        return VORN_ERROR;
    }
    out.assign(text.get());
    return VORN_OK;
}

VORN_STATUS CloudFormatConverter::DeserializeResponseData(const std::string& text,
                                                          IdentityServiceResponse& response) {
    const char* errorAt = nullptr;
    JsonPtr root(cJSON_ParseWithLengthOpts(text.data(), text.size(), &errorAt, false));
    if (!root) {
        if (response.m_status == VORN_OK) {
            // A success answer carries the token and the instance key, which
            // must never reach the log: say where it broke, not what it says.
            const size_t offset =
                errorAt != nullptr && errorAt >= text.data() && errorAt <= text.data() + text.size()
                    ? static_cast<size_t>(errorAt - text.data())
                    : 0;
            VORN_LOG_ERROR("Couldn't parse json : %zu bytes, error at byte %zu", text.size(),
                           offset);
        } else {
            VORN_LOG_ERROR("Couldn't parse json : %s",
                           EscapeUntrusted(text, kLoggedAnswerBytes).c_str());
        }
        return VORN_ERROR;
    }

    if (response.m_status == VORN_OK) {
        const cJSON* pVorn = getString(root.get(), "vorn");
        if (NULL == pVorn) {
            VORN_LOG_ERROR("Failed in condition: (NULL == pVorn)");
            return VORN_ERROR;
        }
        response.m_strVorn = pVorn->valuestring;
        const cJSON* pToken = getString(root.get(), "vorn_token");
        if (NULL == pToken) {
            VORN_LOG_ERROR("Failed in condition: (NULL == pToken)");
            return VORN_ERROR;
        }
        response.m_strToken = pToken->valuestring;
        const cJSON* pInstanceKey = getString(root.get(), "instance_key");
        if (pInstanceKey != nullptr) {
            response.m_strInstanceKey = pInstanceKey->valuestring;
        }
        if (response.m_strVorn.empty() || response.m_strToken.empty()) {
            VORN_LOG_ERROR("Couldn't retrieve valid response data");
            return VORN_ERROR;
        }
        // The values are checked, never logged: the token and the instance
        // key are secrets. Nothing of a refused answer is handed on, so the
        // stored identity stays as it is.
        const std::pair<const char*, const std::string*> fields[] = {
            {"vorn", &response.m_strVorn},
            {"vorn_token", &response.m_strToken},
            {"instance_key", &response.m_strInstanceKey}};
        bool refused = false;
        if (holdsNulInString(text)) {
            VORN_LOG_ERROR("Success answer refused: a string holds a NUL character");
            refused = true;
        }
        for (const auto& [name, value] : fields) {
            const char* why = refused ? nullptr : unusableIdentityValue(*value);
            if (why != nullptr) {
                VORN_LOG_ERROR("Success answer refused: \"%s\" is %s", name, why);
                refused = true;
            }
        }
        if (refused) {
            response.m_strVorn.clear();
            response.m_strToken.clear();
            response.m_strInstanceKey.clear();
            return VORN_ERROR;
        }
        return VORN_OK;
    }

    VORN_LOG_WARNING("Error response: %s", EscapeUntrusted(text, kLoggedAnswerBytes).c_str());
    const cJSON* pErrorCode = getCode(root.get(), "code");
    if (NULL == pErrorCode) {
        VORN_LOG_ERROR("Failed in condition: (NULL == pErrorCode)");
        return VORN_ERROR;
    }
    response.m_nErrorCode = static_cast<int32_t>(std::trunc(pErrorCode->valuedouble));
    const cJSON* pMsg = getString(root.get(), "msg");
    if (NULL == pMsg) {
        VORN_LOG_ERROR("Failed in condition: (NULL == pMsg)");
        return VORN_ERROR;
    }
    response.m_strErrorMsg = pMsg->valuestring;
    if (response.m_strErrorMsg.empty() || response.m_nErrorCode == 0) {
        VORN_LOG_ERROR("Couldn't retrieve valid response data");
        return VORN_ERROR;
    }
    return VORN_OK;
}

}  // namespace vorn
