// Answer documents from the cloud: the first byte picks the layout (success
// or error), the rest is the body text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "agent/cloudformatconverter.h"
#include "common/textescape.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    vorn::IdentityServiceResponse response;
    response.m_status = (data[0] & 1) != 0 ? vorn::VORN_OK : vorn::VORN_CLOUD_ERROR_RESPONSE;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const vorn::VORN_STATUS status =
        vorn::CloudFormatConverter::DeserializeResponseData(text, response);
    // An accepted success answer carries only values that may be kept.
    if (response.m_status == vorn::VORN_OK && status == vorn::VORN_OK) {
        for (const std::string* value :
             {&response.m_strVorn, &response.m_strToken, &response.m_strInstanceKey}) {
            if (value->size() > vorn::CloudFormatConverter::kMaxIdentityValueBytes ||
                !vorn::IsPrintableUTF8(*value)) {
                std::abort();
            }
        }
    }
    return 0;
}
