#include "cloud/faultknobs.h"

#include <cstdlib>

#include "common/vornutils.h"

namespace vorn::cloud {
namespace {

bool PercentDecode(const std::string& text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%') {
            if (i + 2 >= text.size()) {
                return false;
            }
            const int high = HexDigitValue(text[i + 1]);
            const int low = HexDigitValue(text[i + 2]);
            if (high < 0 || low < 0) {
                return false;
            }
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return true;
}

// Digits only, at most 9 of them, so the value always fits.
bool ParseSmallNumber(const std::string& text, unsigned long& value) {
    if (text.empty() || text.size() > 9) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    value = std::strtoul(text.c_str(), nullptr, 10);
    return true;
}

// A header value must not carry CR, LF or other control bytes (tab allowed),
// or it would split the response.
bool IsHeaderSafe(const std::string& text) {
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && u != '\t') || u == 0x7F) {
            return false;
        }
    }
    return true;
}

bool Apply(const std::string& name, const std::string& value, FaultKnobs& knobs,
           std::string& error) {
    unsigned long number = 0;
    if (name == "status") {
        if (!ParseSmallNumber(value, number) || number < 200 || number > 599) {
            error = "status must be a number from 200 to 599";
            return false;
        }
        knobs.m_nStatus = static_cast<unsigned>(number);
    } else if (name == "retry_after") {
        if (!IsHeaderSafe(value)) {
            error = "retry_after holds control characters";
            return false;
        }
        knobs.m_strRetryAfter = value;
    } else if (name == "delay_ms") {
        if (!ParseSmallNumber(value, number)) {
            error = "delay_ms must be a number of milliseconds";
            return false;
        }
        knobs.m_nDelayMs = static_cast<unsigned>(
            number > FaultKnobs::kMaxDelayMs ? FaultKnobs::kMaxDelayMs : number);
    } else if (name == "body") {
        if (value == "empty") {
            knobs.m_eBody = FaultKnobs::Body::Empty;
        } else if (value == "notjson") {
            knobs.m_eBody = FaultKnobs::Body::NotJson;
        } else if (value == "oversize") {
            knobs.m_eBody = FaultKnobs::Body::Oversize;
        } else if (value == "nomembers") {
            knobs.m_eBody = FaultKnobs::Body::NoMembers;
        } else {
            error = "body must be empty, notjson, oversize or nomembers";
            return false;
        }
    } else if (name == "redirect") {
        if (value.empty() || !IsHeaderSafe(value)) {
            error = "redirect needs a URL without control characters";
            return false;
        }
        knobs.m_strRedirect = value;
    } else if (name == "fault") {
        if (value == "reset") {
            knobs.m_eFault = FaultKnobs::Fault::Reset;
        } else if (value == "stall") {
            knobs.m_eFault = FaultKnobs::Fault::Stall;
        } else if (value == "huge-headers") {
            knobs.m_eFault = FaultKnobs::Fault::HugeHeaders;
        } else if (value == "huge-body") {
            knobs.m_eFault = FaultKnobs::Fault::HugeBody;
        } else if (value == "garbage") {
            knobs.m_eFault = FaultKnobs::Fault::Garbage;
        } else {
            error = "fault must be reset, stall, huge-headers, huge-body or garbage";
            return false;
        }
    } else if (name == "once") {
        if (value != "1" && value != "0") {
            error = "once must be 1 or 0";
            return false;
        }
        knobs.m_bOnce = value == "1";
    } else {
        error = "unknown query parameter '" + name + "'";
        return false;
    }
    return true;
}

}  // namespace

bool FaultKnobs::Any() const {
    return m_nStatus || m_strRetryAfter || m_nDelayMs != 0 || m_eBody != Body::Normal ||
           !m_strRedirect.empty() || m_eFault != Fault::None;
}

bool ParseFaultKnobs(const std::string& query, FaultKnobs& knobs, std::string& error) {
    FaultKnobs parsed;
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos) {
            end = query.size();
        }
        const std::string pair = query.substr(start, end - start);
        start = end + 1;
        if (pair.empty()) {
            continue;
        }
        const size_t equals = pair.find('=');
        std::string name;
        std::string value;
        if (!PercentDecode(pair.substr(0, equals), name) ||
            !PercentDecode(equals == std::string::npos ? "" : pair.substr(equals + 1), value)) {
            error = "malformed percent-encoding in '" + pair + "'";
            return false;
        }
        if (!Apply(name, value, parsed, error)) {
            return false;
        }
    }
    knobs = parsed;
    return true;
}

}  // namespace vorn::cloud
