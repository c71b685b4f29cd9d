#include "common/registryhive.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/textescape.h"
#include "common/vornutils.h"

namespace vorn {

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
        return static_cast<char>((c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c);
    });
    return text;
}

void AppendUTF16LE(const std::wstring& text, std::vector<unsigned char>& out) {
    for (wchar_t wc : text) {
        uint32_t cp = static_cast<uint32_t>(wc);  // NOLINT(bugprone-signed-char-misuse)
        auto put = [&out](uint32_t unit) {
            out.push_back(static_cast<unsigned char>(unit & 0xFF));
            out.push_back(static_cast<unsigned char>((unit >> 8) & 0xFF));
        };
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 + (cp >> 10));
            put(0xDC00 + (cp & 0x3FF));
        } else {
            put(cp);
        }
    }
}

// Reads a quoted string starting at text[pos] == '"'. On success sets 'out',
// advances pos past the closing quote and returns true.
bool ReadQuoted(const std::string& text, size_t& pos, std::string& out) {
    if (pos >= text.size() || text[pos] != '"') {
        return false;
    }
    out.clear();
    for (size_t i = pos + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\') {
            if (i + 1 >= text.size()) {
                return false;
            }
            out.push_back(text[++i]);
        } else if (c == '"') {
            pos = i + 1;
            return true;
        } else {
            out.push_back(c);
        }
    }
    return false;
}

// Comma-separated byte pairs ("01,02, ff"); blanks anywhere in an item are
// ignored, and one trailing comma after at least one byte is tolerated.
bool ParseHexBytes(const std::string& text, std::vector<unsigned char>& out) {
    out.clear();
    out.reserve(text.size() / 3 + 1);
    if (text.empty()) {
        return true;
    }
    size_t start = 0;
    for (;;) {
        size_t end = text.find(',', start);
        const bool last = end == std::string::npos;
        if (last) {
            end = text.size();
        }
        int digits[2];
        int count = 0;
        for (size_t i = start; i < end; ++i) {
            const char c = text[i];
            if (c == ' ' || c == '\t') {
                continue;
            }
            const int digit = HexDigitValue(c);
            if (digit < 0 || count == 2) {
                return false;
            }
            digits[count++] = digit;
        }
        if (count == 0 && last && !out.empty()) {
            return true;  // a trailing comma
        }
        if (count != 2) {
            return false;
        }
        out.push_back(static_cast<unsigned char>(digits[0] * 16 + digits[1]));
        if (last) {
            return true;
        }
        start = end + 1;
    }
}

std::string StripBlanks(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Decodes a UTF-16LE file (regedit's own export encoding) to UTF-8.
std::string DecodeText(const std::string& raw) {
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
        static_cast<unsigned char>(raw[1]) == 0xFE) {
        // Text files hold no NUL code units, so decoding stops only at the end.
        std::wstring recoded =
            UTF16LEToWide(reinterpret_cast<const unsigned char*>(raw.data()) + 2, raw.size() - 2);
        return WideToUTF8(recoded);
    }
    if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        return raw.substr(3);
    }
    return raw;
}

// Reads a hive file without blocking on a FIFO or taking a directory (or a
// device) for a file; a hive file is a few kilobytes, so the size is capped.
bool ReadRegularFile(const std::string& path, std::string& content) {
    constexpr size_t kMaxHiveFileBytes = 1 << 20;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    char buffer[4096];
    while (ok) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 || content.size() + static_cast<size_t>(n) > kMaxHiveFileBytes) {
            ok = false;
        } else if (n == 0) {
            break;
        } else {
            content.append(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
    return ok;
}

}  // namespace

std::string CRegistryHive::NormaliseKey(const std::string& keyPath) {
    std::string out;
    for (char c : keyPath) {
        if (c == '\\' && (out.empty() || out.back() == '\\')) {
            continue;
        }
        out.push_back(c);
    }
    while (!out.empty() && out.back() == '\\') {
        out.pop_back();
    }
    return Lower(out);
}

void CRegistryHive::Merge(const std::string& rawText, const std::string& sourceName,
                          std::vector<std::string>& errors) {
    const std::string text = DecodeText(rawText);
    auto report = [&](size_t line, const std::string& reason) {
        errors.push_back(sourceName + ":" + std::to_string(line) + ": " + reason);
    };

    size_t nextLine = 0;
    std::string physical;
    size_t lineNo = 0;
    bool headerSeen = false;
    std::string currentKey;
    bool inKey = false;

    while (NextLine(text, nextLine, physical)) {
        ++lineNo;
        const size_t startLine = lineNo;
        if (!physical.empty() && physical.back() == '\r') {
            physical.pop_back();
        }
        std::string logical = physical;
        // Join continuation lines ("...,\" followed by more bytes). A comment
        // never continues: one ending in a backslash must not swallow the
        // value on the next line.
        const std::string leading = StripBlanks(physical);
        const bool isComment = !leading.empty() && leading[0] == ';';
        while (!isComment && !StripBlanks(logical).empty() && StripBlanks(logical).back() == '\\' &&
               logical.find('=') != std::string::npos && logical.front() != '[') {
            std::string next;
            if (!NextLine(text, nextLine, next)) {
                break;
            }
            ++lineNo;
            if (!next.empty() && next.back() == '\r') {
                next.pop_back();
            }
            logical = StripBlanks(logical);
            logical.pop_back();
            logical += StripBlanks(next);
        }
        const std::string line = StripBlanks(logical);
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (!headerSeen) {
            if (line != "Windows Registry Editor Version 5.00") {
                report(startLine, "missing \"Windows Registry Editor Version 5.00\" header");
                return;
            }
            headerSeen = true;
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']' || line.size() < 3) {
                report(startLine, "malformed key header");
                inKey = false;
                continue;
            }
            if (line[1] == '-') {
                const std::string key = NormaliseKey(line.substr(2, line.size() - 3));
                for (auto it = m_mapKeys.begin(); it != m_mapKeys.end();) {
                    if (it->first == key || it->first.compare(0, key.size() + 1, key + "\\") == 0) {
                        it = m_mapKeys.erase(it);
                    } else {
                        ++it;
                    }
                }
                inKey = false;
                continue;
            }
            currentKey = NormaliseKey(line.substr(1, line.size() - 2));
            m_mapKeys[currentKey];
            inKey = true;
            continue;
        }
        if (!inKey) {
            report(startLine, "value outside a key");
            continue;
        }
        std::string name;
        size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else if (!ReadQuoted(line, pos, name)) {
            report(startLine, "malformed value name");
            continue;
        }
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) {
            ++pos;
        }
        if (pos >= line.size() || line[pos] != '=') {
            report(startLine, "expected '=' after the value name");
            continue;
        }
        const std::string data = StripBlanks(line.substr(pos + 1));
        const std::string valueKey = Lower(name);
        RegistryValue value;
        if (data == "-") {
            m_mapKeys[currentKey].erase(valueKey);
            continue;
        }
        if (!data.empty() && data[0] == '"') {
            size_t p = 0;
            std::string str;
            if (!ReadQuoted(data, p, str) || p != data.size()) {
                report(startLine, "malformed string value");
                continue;
            }
            const std::wstring wide = UTF8ToWide(str);
            if (wide.empty() && !str.empty()) {
                report(startLine, "string value is not valid UTF-8");
                continue;
            }
            value.type = REG_SZ;
            AppendUTF16LE(wide, value.data);
            value.data.push_back(0);
            value.data.push_back(0);
        } else if (Lower(data.substr(0, 6)) == "dword:") {
            const std::string digits = data.substr(6);
            if (digits.empty() || digits.size() > 8 ||
                digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                report(startLine, "malformed dword value");
                continue;
            }
            const uint32_t number = static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
            value.type = REG_DWORD;
            for (int i = 0; i < 4; ++i) {
                value.data.push_back(static_cast<unsigned char>((number >> (8 * i)) & 0xFF));
            }
        } else if (Lower(data.substr(0, 3)) == "hex") {
            size_t colon = data.find(':');
            if (colon == std::string::npos) {
                report(startLine, "malformed hex value");
                continue;
            }
            const std::string head = Lower(data.substr(0, colon));
            if (head == "hex") {
                value.type = REG_BINARY;
            } else if (head.size() > 5 && head.compare(0, 4, "hex(") == 0 && head.back() == ')' &&
                       head.size() <= 4 + 8 + 1 &&
                       head.substr(4, head.size() - 5).find_first_not_of("0123456789abcdef") ==
                           std::string::npos) {
                value.type =
                    static_cast<uint32_t>(std::stoul(head.substr(4, head.size() - 5), nullptr, 16));
            } else {
                report(startLine, "malformed hex value type");
                continue;
            }
            if (!ParseHexBytes(data.substr(colon + 1), value.data)) {
                report(startLine, "malformed hex bytes");
                continue;
            }
        } else {
            report(startLine, "unrecognised value data");
            continue;
        }
        m_mapKeys[currentKey][valueKey] = std::move(value);
    }
    if (!headerSeen && lineNo > 0) {
        report(1, "missing \"Windows Registry Editor Version 5.00\" header");
    }
}

bool CRegistryHive::ListFiles(const std::string& directory, std::vector<std::string>& names) {
    names.clear();
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) {
        return false;
    }
    while (const dirent* entry = readdir(dir)) {
        const size_t length = strlen(entry->d_name);
        if (length > 4 && Lower(std::string(entry->d_name + length - 4)) == ".reg") {
            names.emplace_back(entry->d_name, length);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return true;
}

void CRegistryHive::LoadFiles(const std::string& directory, const std::vector<std::string>& names,
                              std::vector<std::string>& problems) {
    for (const std::string& name : names) {
        std::string path = directory;
        path += '/';
        path += name;
        std::string content;
        if (!ReadRegularFile(path, content)) {
            problems.push_back(EscapeUntrusted(path) + ": cannot be read");
            continue;
        }
        std::vector<std::string> errors;
        Merge(content, path, errors);
        for (const std::string& error : errors) {
            problems.push_back(EscapeUntrusted(error));
        }
    }
}

void CRegistryHive::LoadDirectory(const std::string& directory) {
    std::vector<std::string> names;
    if (!ListFiles(directory, names)) {
        return;
    }
    std::vector<std::string> problems;
    LoadFiles(directory, names, problems);
    for (const std::string& problem : problems) {
        fprintf(stderr, "%s\n", problem.c_str());
    }
}

bool CRegistryHive::HasKey(const std::string& keyPath) const {
    const std::string key = NormaliseKey(keyPath);
    if (m_mapKeys.count(key) != 0) {
        return true;
    }
    const std::string prefix = key + "\\";
    auto it = m_mapKeys.lower_bound(prefix);
    return it != m_mapKeys.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

const RegistryValue* CRegistryHive::Find(const std::string& keyPath,
                                         const std::string& valueName) const {
    auto key = m_mapKeys.find(NormaliseKey(keyPath));
    if (key == m_mapKeys.end()) {
        return nullptr;
    }
    auto value = key->second.find(Lower(valueName));
    return value == key->second.end() ? nullptr : &value->second;
}

}  // namespace vorn
