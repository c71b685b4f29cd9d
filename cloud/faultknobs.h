// The fault knobs of the reference cloud service: query parameters of an
// identity POST (or the service's default query) that make it misbehave in a
// chosen way, so that clients can be tested against every kind of answer.
#pragma once

#include <optional>
#include <string>

namespace vorn::cloud {

struct FaultKnobs {
    enum class Body { Normal, Empty, NotJson, Oversize, NoMembers };
    enum class Fault { None, Reset, Stall, HugeHeaders, HugeBody, Garbage };

    static constexpr unsigned kMaxDelayMs = 60000;

    std::optional<unsigned> m_nStatus;           // status=NNN (200..599)
    std::optional<std::string> m_strRetryAfter;  // retry_after=TEXT, sent raw
    unsigned m_nDelayMs = 0;                     // delay_ms=N, clamped to kMaxDelayMs
    Body m_eBody = Body::Normal;                 // body=empty|notjson|oversize|nomembers
    std::string m_strRedirect;                   // redirect=URL (302 + Location)
    Fault m_eFault = Fault::None;                // fault=reset|stall|huge-headers|huge-body|garbage
    bool m_bOnce = false;                        // once=1: only the first POST of the run

    bool Any() const;
};

// Parses a URL query ("status=503&retry_after=5"), percent-decoding names and
// values ('+' stands for a space). Returns false with 'error' set for an
// unknown name, a bad value, or a value that cannot go into a header (control
// characters), so that a mistyped knob is reported instead of ignored.
// An empty query gives no knobs.
bool ParseFaultKnobs(const std::string& query, FaultKnobs& knobs, std::string& error);

}  // namespace vorn::cloud
