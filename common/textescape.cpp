#include "common/textescape.h"

#include <cstdint>

#include "common/utf8.h"

namespace vorn {

namespace {

bool IsControl(uint32_t codePoint) {
    return codePoint < 0x20 || codePoint == 0x7F || (codePoint >= 0x80 && codePoint <= 0x9F);
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

bool IsPrintableUTF8(std::string_view text) {
    for (size_t pos = 0; pos < text.size();) {
        uint32_t codePoint = 0;
        const size_t length = DecodeUTF8(text.substr(pos), codePoint);
        if (length == 0 || IsControl(codePoint)) {
            return false;
        }
        pos += length;
    }
    return true;
}

}  // namespace vorn
