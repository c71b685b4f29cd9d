#include "common/textescape.h"

#include <cstdint>

#include "common/utf8.h"

namespace vorn {

namespace {

bool IsControl(uint32_t codePoint) {
    return codePoint < 0x20 || codePoint == 0x7F || (codePoint >= 0x80 && codePoint <= 0x9F);
}

// Characters that print nothing yet change what a reader sees: bidirectional
// controls reorder the rest of the line ("exe.txt" shown for "txt.exe"), line
// and paragraph separators break it in some terminals and viewers, and
// zero-width characters make two different texts look the same.
bool IsInvisibleFormat(uint32_t codePoint) {
    return codePoint == 0x061C || codePoint == 0x180E ||
           (codePoint >= 0x200B && codePoint <= 0x200F) ||
           (codePoint >= 0x2028 && codePoint <= 0x202E) ||
           (codePoint >= 0x2060 && codePoint <= 0x2069) || codePoint == 0xFEFF;
}

void AppendCodePoint(std::string& out, uint32_t codePoint) {
    static const char kDigits[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) {
        out += kDigits[(codePoint >> shift) & 0x0F];
    }
}

void AppendHexByte(std::string& out, unsigned char value) {
    static const char kDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kDigits[value >> 4];
    out += kDigits[value & 0x0F];
}

}  // namespace

std::string EscapeUntrusted(std::string_view text, size_t maxBytes) {
    size_t omitted = 0;
    if (maxBytes != 0 && text.size() > maxBytes) {
        omitted = text.size() - maxBytes;
        text = text.substr(0, maxBytes);
    }
    std::string out;
    out.reserve(text.size() + 16);
    for (size_t pos = 0; pos < text.size();) {
        uint32_t codePoint = 0;
        const size_t length = DecodeUTF8(text.substr(pos), codePoint);
        if (length == 0) {
            AppendHexByte(out, static_cast<unsigned char>(text[pos]));
            ++pos;
            continue;
        }
        if (codePoint == '\n') {
            out += "\\n";
        } else if (codePoint == '\r') {
            out += "\\r";
        } else if (codePoint == '\t') {
            out += "\\t";
        } else if (codePoint == '\\') {
            out += "\\\\";
        } else if (IsControl(codePoint)) {
            for (size_t i = 0; i < length; ++i) {
                AppendHexByte(out, static_cast<unsigned char>(text[pos + i]));
            }
        } else if (IsInvisibleFormat(codePoint)) {
            AppendCodePoint(out, codePoint);
        } else {
            out.append(text.substr(pos, length));
        }
        pos += length;
    }
    if (omitted != 0) {
        out += "...(" + std::to_string(omitted) + " more bytes)";
    }
    return out;
}

std::string MakeJsonVisible(std::string_view json) {
    std::string out;
    out.reserve(json.size());
    for (size_t pos = 0; pos < json.size();) {
        uint32_t codePoint = 0;
        const size_t length = DecodeUTF8(json.substr(pos), codePoint);
        if (length != 0 && IsInvisibleFormat(codePoint)) {
            AppendCodePoint(out, codePoint);
            pos += length;
        } else {
            const size_t step = length == 0 ? 1 : length;
            out.append(json.substr(pos, step));
            pos += step;
        }
    }
    return out;
}

bool IsPrintableUTF8(std::string_view text) {
    for (size_t pos = 0; pos < text.size();) {
        uint32_t codePoint = 0;
        const size_t length = DecodeUTF8(text.substr(pos), codePoint);
        if (length == 0 || IsControl(codePoint) || IsInvisibleFormat(codePoint)) {
            return false;
        }
        pos += length;
    }
    return true;
}

}  // namespace vorn
