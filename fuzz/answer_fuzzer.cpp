// Answer documents from the cloud: the first byte picks the layout (success
// or error), the rest is the body text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "agent/cloudformatconverter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    vorn::IdentityServiceResponse response;
    response.m_status = (data[0] & 1) != 0 ? vorn::VORN_OK : vorn::VORN_CLOUD_ERROR_RESPONSE;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    (void)vorn::CloudFormatConverter::DeserializeResponseData(text, response);
    return 0;
}
