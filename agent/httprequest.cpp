#include "agent/httprequest.h"

#include <cstddef>
#include <stdexcept>

#include "common/vornlogger.h"

namespace vorn {

namespace {

constexpr int32_t kMaxPort = 65535;
constexpr size_t kMaxPortDigits = 5;

[[noreturn]] void Unsupported() {
    throw std::invalid_argument("Unsupported URI encountered");
}

// Control characters and white space, which neither a host name nor a path
// holds.
bool IsControlOrSpace(unsigned char c) {
    return c <= 0x20 || c == 0x7f;
}

// The host stops short of anything that would make the rest of the text a
// port, path, query, fragment or user name.
bool IsHostChar(unsigned char c) {
    return !IsControlOrSpace(c) && c != '/' && c != ':' && c != '?' && c != '#' && c != '@';
}

bool IsPathChar(unsigned char c) {
    return !IsControlOrSpace(c) && c != ':' && c != '?' && c != '#';
}

// "https://" in any case.
bool HasSchemePrefix(const std::string& url) {
    static constexpr char kScheme[] = "https://";
    constexpr size_t kLength = sizeof(kScheme) - 1;
    if (url.size() < kLength) {
        return false;
    }
    for (size_t i = 0; i < kLength; ++i) {
        char c = url[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != kScheme[i]) {
            return false;
        }
    }
    return true;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

HttpRequest::HttpRequest(HttpMethod method, const std::string& url, const std::string& body)
    : m_eMethod(method), m_strBody(body) {
    // One pass, left to right: every part ends at the first character it
    // cannot hold, and what follows must be the next part or the end.
    size_t at = HasSchemePrefix(url) ? 8 : 0;
    const size_t hostStart = at;
    while (at < url.size() && IsHostChar(static_cast<unsigned char>(url[at]))) {
        ++at;
    }
    if (at == hostStart) {
        Unsupported();
    }
    m_strHost = url.substr(hostStart, at - hostStart);
    if (at < url.size() && url[at] == ':') {
        ++at;
        const size_t digitsStart = at;
        int32_t port = 0;
        while (at < url.size() && IsDigit(url[at]) && at - digitsStart < kMaxPortDigits) {
            port = port * 10 + (url[at] - '0');
            ++at;
        }
        // No digits, or more than five; 0 and above 65535 no socket can use,
        // and failing here gives the same answer as a bad URL.
        if (at == digitsStart || port <= 0 || port > kMaxPort) {
            Unsupported();
        }
        m_nPort = port;
    }
    if (at < url.size()) {
        if (url[at] != '/') {
            Unsupported();
        }
        for (size_t i = at + 1; i < url.size(); ++i) {
            if (!IsPathChar(static_cast<unsigned char>(url[i]))) {
                Unsupported();
            }
        }
        m_strPath = url.substr(at);
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
