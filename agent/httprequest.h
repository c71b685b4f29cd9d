// One HTTP request, independent of the client that carries it: method, the
// target taken apart from a service URL, user agent, headers and body.
#pragma once

#include <cstdint>
#include <string>

#include "agent/httpheadermap.h"

namespace vorn {

enum HttpMethod : int32_t { GET = 0, POST = 1, HEAD = 2, DELETE = 3 };

// A value record, created and used on one thread.
class HttpRequest {
public:
    // Takes 'url' apart: an optional "https://" (any case), a host without
    // '/', ':', '?', '#', '@', white space or control characters, an optional
    // ":port" (default 443) and an optional path starting with "/" without
    // ':', '#', '?', white space or control characters; the whole string must
    // match. Inserts "Content-Type: application/json".
    // Throws std::invalid_argument("Unsupported URI encountered") when the URL
    // does not match, or when its port is 0 or above 65535.
    HttpRequest(HttpMethod method, const std::string& url, const std::string& body);

    // "GET", "POST", "HEAD", "DELETE"; an unknown value is logged and yields "".
    static std::string GetHttpMethodString(HttpMethod method);

    // "Name: value\r\n" for every header in name order; "" when there are none.
    std::string GetHeaderString() const;

    // Keeps the first value stored under a name (names compare without
    // regard to case).
    void AddHeader(const std::string& name, const std::string& value);

    HttpMethod GetMethod() const { return m_eMethod; }
    const std::string& GetPath() const { return m_strPath; }  // may be empty
    const std::string& GetHost() const { return m_strHost; }  // never empty
    int32_t GetPort() const { return m_nPort; }
    const std::string& GetUserAgent() const { return m_strUserAgent; }
    void SetUserAgent(const std::string& userAgent) { m_strUserAgent = userAgent; }
    const HttpHeaderMap& GetHeaders() const { return m_mapHeaders; }
    const std::string& GetBody() const { return m_strBody; }

private:
    HttpMethod m_eMethod;
    std::string m_strPath;
    std::string m_strHost;
    int32_t m_nPort = 443;
    std::string m_strUserAgent;
    HttpHeaderMap m_mapHeaders;
    std::string m_strBody;
};

}  // namespace vorn
