// Service URLs as the configuration names them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "agent/httprequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string url(reinterpret_cast<const char*>(data), size);
    try {
        vorn::HttpRequest request(vorn::POST, url, "{}");
        // A request that was accepted names a host and a usable port, and the
        // host cannot carry a query, fragment, user name or control byte.
        if (request.GetHost().empty() || request.GetPort() <= 0 || request.GetPort() > 65535) {
            std::abort();
        }
        for (const char c : request.GetHost()) {
            const auto u = static_cast<unsigned char>(c);
            if (c == '?' || c == '#' || c == '@' || c == '/' || c == ':' || u <= 0x20 ||
                u == 0x7f) {
                std::abort();
            }
        }
        (void)request.GetHeaderString();
    } catch (const std::invalid_argument&) {
        // The documented refusal.
    }
    return 0;
}
