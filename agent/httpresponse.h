// What came back for one HTTP request: status, headers and body.
#pragma once

#include <cstdint>
#include <string>

#include "agent/httpheadermap.h"

namespace vorn {

// A value record, filled by the transport and read on the same thread.
class HttpResponse {
public:
    // True exactly for 200..299.
    bool IsSuccess() const { return m_nStatus >= 200 && m_nStatus <= 299; }

    // The value stored under 'name', compared without regard to case, or "".
    std::string GetHeader(const std::string& name) const;

    // Adds the "Name: value" lines of a raw header block (lines ended by LF or
    // CR LF). A CR anywhere else is no line break: it becomes a space, so a
    // value holding "\rRetry-After: 1" cannot add a header. Lines without a
    // colon (the status line) are skipped, names and values are trimmed, the
    // first value of a name (in any case) stays, and text after the last line
    // break is ignored.
    void ParseHeaders(const std::string& raw);

    uint32_t GetStatus() const { return m_nStatus; }
    void SetStatus(uint32_t status) { m_nStatus = status; }
    const HttpHeaderMap& GetHeaders() const { return m_mapHeaders; }
    const std::string& GetBody() const { return m_strBody; }
    void SetBody(std::string body) { m_strBody = std::move(body); }

    // When no answer came: why, in an administrator's words ("id.example.com
    // port 443 unreachable: Connection refused"), already escaped for
    // printing and free of anything secret (host and port only, never the
    // path or the request). "" when the transport did not say.
    const std::string& GetFailureReason() const { return m_strFailureReason; }
    void SetFailureReason(std::string reason) { m_strFailureReason = std::move(reason); }

private:
    uint32_t m_nStatus = 0;
    HttpHeaderMap m_mapHeaders;
    std::string m_strBody;
    std::string m_strFailureReason;
};

}  // namespace vorn
