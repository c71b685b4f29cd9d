#include "agent/httpresponse.h"

#include "common/vornutils.h"

namespace vorn {

std::string HttpResponse::GetHeader(const std::string& name) const {
    const auto found = m_mapHeaders.find(name);
    return found == m_mapHeaders.end() ? std::string() : found->second;
}

void HttpResponse::ParseHeaders(const std::string& raw) {
    size_t start = 0;
    size_t end = raw.find('\n');
    while (end != std::string::npos) {
        std::string line = raw.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        // A bare CR is not a line break in HTTP/1.1; reading it as one would
        // let a value smuggle in a header of its own.
        for (char& c : line) {
            if (c == '\r') {
                c = ' ';
            }
        }
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            std::string value = line.substr(colon + 1);
            Trim(name);
            Trim(value);
            m_mapHeaders.emplace(std::move(name), std::move(value));
        }
        start = end + 1;
        end = raw.find('\n', start);
    }
}

}  // namespace vorn
