// What came back for one HTTP request: status, headers and body.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace vorn {

// A value record, filled by the transport and read on the same thread.
class HttpResponse {
public:
    // True exactly for 200..299.
    bool IsSuccess() const { return m_nStatus >= 200 && m_nStatus <= 299; }

    // The value stored under exactly 'name' (case-sensitive), or "".
    std::string GetHeader(const std::string& name) const;

    // Adds the "Name: value" lines of a raw header block (lines ended by CR,
    // LF or both). Lines without a colon (the status line) are skipped, names
    // and values are trimmed, the first value of a name stays, and text after
    // the last line break is ignored.
    void ParseHeaders(const std::string& raw);

    uint32_t GetStatus() const { return m_nStatus; }
    void SetStatus(uint32_t status) { m_nStatus = status; }
    const std::map<std::string, std::string>& GetHeaders() const { return m_mapHeaders; }
    const std::string& GetBody() const { return m_strBody; }
    void SetBody(std::string body) { m_strBody = std::move(body); }

private:
    uint32_t m_nStatus = 0;
    std::map<std::string, std::string> m_mapHeaders;
    std::string m_strBody;
};

}  // namespace vorn
