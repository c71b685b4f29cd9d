// The JSON wire format of the cloud identity service: the request document
// the agent posts, and the success and error answers it gets back.
#pragma once

#include <cjson/cJSON.h>

#include <string>

#include "agent/attribute.h"
#include "agent/identityservice.h"
#include "common/vornstatus.h"

namespace vorn {

// Stateless; both operations may run on any thread at the same time.
class CloudFormatConverter {
public:
    // The longest VORN id, token or instance key an answer may carry.
    static constexpr size_t kMaxIdentityValueBytes = 4096;

    // Builds the compact request document: "business", "hardware", "os" and
    // "misc" (with "product" first and, when a VORN id and a token are
    // stored, "cache" last). Returns VORN_OK with the text in 'out', or
    // VORN_ERROR (out untouched) when business data, "serial_number", "uuid"
    // or "hostname" is missing or the tree cannot be built; the reason is logged.
    static VORN_STATUS SerializeRequestData(const IdentityServiceRequest& rIdRequest,
                                            std::string& out);

    // Reads an answer into 'response'. response.m_status, set by the caller,
    // selects the layout: VORN_OK reads "vorn", "vorn_token" and
    // "instance_key"; anything else reads "code" and "msg". Member names match
    // without regard to case; a member of the wrong JSON type counts as absent.
    // A success answer whose VORN id, token or instance key is longer than
    // kMaxIdentityValueBytes, is not valid UTF-8, or holds a control
    // character (NUL included) is refused whole: the three fields are left
    // empty. Returns VORN_OK, or VORN_ERROR when the text is not JSON
    // (response untouched), a required member is missing or empty (fields
    // read so far stay), or the answer is refused.
    static VORN_STATUS DeserializeResponseData(const std::string& text,
                                               IdentityServiceResponse& response);
};

// Writes one attribute, and recursively its children, into 'parent' (an
// object or an array). Writes nothing for an attribute without values (or,
// for objects and arrays, without a child list) or of an unknown type.
void addAttributeToJson(const CAttribute& attribute, cJSON* parent);

}  // namespace vorn
