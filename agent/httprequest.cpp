#include "agent/httprequest.h"

#include <boost/regex.hpp>
#include <stdexcept>

#include "common/vornlogger.h"

namespace vorn {

namespace {

// Compiled once: the communicator builds a request for every exchange.
const boost::regex& urlPattern() {
    static const boost::regex pattern(
        // The host stops short of anything that would make the rest of the
        // text a query, fragment or user name, and of white space and control
        // characters, which no host name holds.
        "(?:https://)?(?<host>[^/:?#@\\s\\x00-\\x1f\\x7f]+)(?::(?<port>[0-9]{1,5}))?"
        "(?<path>/[^:#?\\s\\x00-\\x1f\\x7f]*)?",
        boost::regex::perl | boost::regex::icase);
    return pattern;
}

constexpr int32_t kMaxPort = 65535;

}  // namespace

HttpRequest::HttpRequest(HttpMethod method, const std::string& url, const std::string& body)
    : m_eMethod(method), m_strBody(body) {
    boost::smatch match;
    if (!boost::regex_match(url, match, urlPattern())) {
        throw std::invalid_argument("Unsupported URI encountered");
    }
    m_strHost = match["host"].str();
    if (match["path"].matched) {
        m_strPath = match["path"].str();
    }
    if (match["port"].matched && match["port"].length() > 0) {
        // At most five digits, so this cannot overflow; 0 and above 65535 no
        // socket can use, and failing here gives the same answer as a bad URL.
        m_nPort = std::stoi(match["port"].str());
        if (m_nPort <= 0 || m_nPort > kMaxPort) {
            throw std::invalid_argument("Unsupported URI encountered");
        }
    }
    AddHeader("Content-Type", "application/json");
}

std::string HttpRequest::GetHttpMethodString(HttpMethod method) {
    switch (method) {
        case GET:
            return "GET";
        case POST:
            return "POST";
        case HEAD:
            return "HEAD";
        case DELETE:
            return "DELETE";
    }
    VORN_LOG_ERROR("Unknown HTTP Request Method");
    return "";
}

std::string HttpRequest::GetHeaderString() const {
    std::string block;
    for (const auto& [name, value] : m_mapHeaders) {
        block += name;
        block += ": ";
        block += value;
        block += "\r\n";
    }
    return block;
}

void HttpRequest::AddHeader(const std::string& name, const std::string& value) {
    m_mapHeaders.emplace(name, value);
}

}  // namespace vorn
