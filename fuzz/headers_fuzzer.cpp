// Raw response header blocks as the transport hands them over.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "agent/httpresponse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);
    vorn::HttpResponse response;
    response.ParseHeaders(raw);
    for (const auto& [name, value] : response.GetHeaders()) {
        // Names and values come out trimmed and never hold a line break.
        if (name.find_first_of("\r\n") != std::string::npos ||
            value.find_first_of("\r\n") != std::string::npos || response.GetHeader(name) != value) {
            std::abort();
        }
    }
    (void)response.GetHeader("Retry-After");
    return 0;
}
