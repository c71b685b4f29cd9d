#include "common/textescape.h"

#include <cstdint>

namespace vorn {

namespace {

// Length of the well-formed UTF-8 sequence starting at text[pos], or 0 when
// the bytes there do not form one.
size_t Utf8SequenceLength(std::string_view text, size_t pos, uint32_t* codePoint) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[pos + i]); };
    const unsigned char lead = byte(0);
    size_t length = 0;
    uint32_t value = 0;
    uint32_t minimum = 0;
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (pos + length > text.size()) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (byte(i) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    *codePoint = value;
    return length;
}

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
        const size_t length = Utf8SequenceLength(text, pos, &codePoint);
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
        const size_t length = Utf8SequenceLength(text, pos, &codePoint);
        if (length == 0 || IsControl(codePoint)) {
            return false;
        }
        pos += length;
    }
    return true;
}

}  // namespace vorn
