#include "common/vornutils.h"

#include "common/utf8.h"

namespace vorn {

namespace {

bool AppendUTF8(uint32_t cp, std::string& out) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return false;
    }
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    return true;
}

}  // namespace

std::string WideToUTF8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        if (!AppendUTF8(static_cast<uint32_t>(wc), out)) {
            return std::string();
        }
    }
    return out;
}

std::wstring UTF8ToWide(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    const std::string_view view(text);
    for (size_t pos = 0; pos < view.size();) {
        uint32_t cp = 0;
        const size_t length = DecodeUTF8(view.substr(pos), cp);
        if (length == 0) {
            return std::wstring();
        }
        out.push_back(static_cast<wchar_t>(cp));
        pos += length;
    }
    return out;
}

std::wstring UTF8ToWideLossy(const std::string& text, size_t* replaced) {
    std::wstring out;
    out.reserve(text.size());
    size_t count = 0;
    const std::string_view view(text);
    for (size_t pos = 0; pos < view.size();) {
        uint32_t cp = 0;
        const size_t length = DecodeUTF8(view.substr(pos), cp);
        if (length == 0) {
            out.push_back(L'\uFFFD');
            ++count;
            ++pos;
            continue;
        }
        out.push_back(static_cast<wchar_t>(cp));
        pos += length;
    }
    if (replaced != nullptr) {
        *replaced = count;
    }
    return out;
}

std::wstring UTF16LEToWide(const unsigned char* bytes, size_t byteCount) {
    std::wstring out;
    if (bytes == nullptr) {
        return out;
    }
    for (size_t i = 0; i + 1 < byteCount; i += 2) {
        uint32_t unit = bytes[i] | (static_cast<uint32_t>(bytes[i + 1]) << 8);
        if (unit == 0) {
            break;
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 3 >= byteCount) {
                return std::wstring();
            }
            const uint32_t low = bytes[i + 2] | (static_cast<uint32_t>(bytes[i + 3]) << 8);
            if (low < 0xDC00 || low > 0xDFFF) {
                return std::wstring();
            }
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return std::wstring();
        }
        out.push_back(static_cast<wchar_t>(unit));
    }
    return out;
}

bool NextLine(const std::string& text, size_t& next, std::string& line) {
    if (next >= text.size()) {
        return false;
    }
    size_t end = text.find('\n', next);
    if (end == std::string::npos) {
        end = text.size();
    }
    line.assign(text, next, end - next);
    next = end + 1;
    return true;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

void Trim(std::string& text) {
    static const char kBlanks[] = " \n\r\t\f\v";
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    const size_t last = text.find_last_not_of(kBlanks);
    text = text.substr(first, last - first + 1);
}

}  // namespace vorn
