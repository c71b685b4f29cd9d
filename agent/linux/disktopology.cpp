#include "agent/linux/disktopology.h"

#include <cstdio>

#include "agent/linux/wmiproviders.h"

namespace vorn {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool AllDigits(const std::string& text, size_t from, size_t to) {
    if (from >= to) {
        return false;
    }
    for (size_t i = from; i < to; ++i) {
        if (!IsDigit(text[i])) {
            return false;
        }
    }
    return true;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// A decimal number as ten digits, so that numbers compare as text.
std::string Fixed(const std::string& digits) {
    const size_t first = digits.find_first_not_of('0');
    std::string value = first == std::string::npos ? "0" : digits.substr(first);
    if (value.size() >= 10) {
        return value;
    }
    return std::string(10 - value.size(), '0') + value;
}

// Every digit run of 'text' as a fixed-width number, the separators kept:
// "1.10:1.0" gives "0000000001.0000000010:0000000001.0000000000".
std::string FixedNumbers(const std::string& text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        if (!IsDigit(text[i])) {
            out += text[i++];
            continue;
        }
        size_t end = i;
        while (end < text.size() && IsDigit(text[end])) {
            ++end;
        }
        out += Fixed(text.substr(i, end - i));
        i = end;
    }
    return out;
}

// "0000:00:1f.2": a PCI function address (domain:bus:device.function).
bool IsPciAddress(const std::string& c) {
    if (c.size() != 12 || c[4] != ':' || c[7] != ':' || c[10] != '.') {
        return false;
    }
    for (size_t i = 0; i < c.size(); ++i) {
        if (i == 4 || i == 7 || i == 10) {
            continue;
        }
        const char h = c[i];
        if (!(IsDigit(h) || (h >= 'a' && h <= 'f'))) {
            return false;
        }
    }
    return true;
}

// "6:0:0:0": a SCSI device, host:channel:target:lun, all decimal.
bool IsScsiAddress(const std::string& c, size_t& firstColon) {
    size_t colons = 0;
    for (char ch : c) {
        if (ch == ':') {
            ++colons;
        } else if (!IsDigit(ch)) {
            return false;
        }
    }
    firstColon = c.find(':');
    return colons == 3 && c.front() != ':' && c.back() != ':' && c.find("::") == std::string::npos;
}

// "2-1.3" (a USB device: bus-port path) or "2-1.3:1.0" (one of its
// interfaces: config.interface after the colon).
bool IsUsbDevice(const std::string& c, size_t& dash) {
    dash = c.find('-');
    if (dash == std::string::npos || !AllDigits(c, 0, dash) || dash + 1 >= c.size()) {
        return false;
    }
    for (size_t i = dash + 1; i < c.size(); ++i) {
        if (!IsDigit(c[i]) && c[i] != '.' && c[i] != ':') {
            return false;
        }
    }
    return true;
}

// "nvme0n2" (a namespace), "nvme0c1n2" (a path to it): the namespace number.
bool NvmeNamespace(const std::string& c, std::string& nsid) {
    if (!StartsWith(c, "nvme")) {
        return false;
    }
    const size_t n = c.find_last_of('n');
    if (n <= 4 || !AllDigits(c, n + 1, c.size())) {
        return false;
    }
    nsid = c.substr(n + 1);
    return true;
}

// A component that is only a probe-order index: "host6", "target6:0:0",
// "virtio3", "usb2" (a root hub: its bus number), "nvme0", "nvme-subsys0".
bool IsProbeIndex(const std::string& c) {
    static const char* const kPrefixes[] = {"host", "virtio", "usb", "nvme-subsys", "nvme"};
    if (StartsWith(c, "target")) {
        return true;
    }
    for (const char* prefix : kPrefixes) {
        const size_t length = std::char_traits<char>::length(prefix);
        if (StartsWith(c, prefix) && AllDigits(c, length, c.size())) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string SysBlockTargetPath(const std::string& deviceTreePath) {
    // The link sits in sys/block: each ".." climbs one level from there.
    std::vector<std::string> parts = {"sys", "block"};
    size_t at = 0;
    while (at <= deviceTreePath.size()) {
        size_t slash = deviceTreePath.find('/', at);
        if (slash == std::string::npos) {
            slash = deviceTreePath.size();
        }
        const std::string part = deviceTreePath.substr(at, slash - at);
        at = slash + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (parts.size() <= 1) {
                return {};
            }
            parts.pop_back();
        } else {
            parts.push_back(part);
        }
    }
    std::string path;
    for (const std::string& part : parts) {
        path += path.empty() ? "" : "/";
        path += part;
    }
    return path;
}

std::vector<std::string> DiskTopologyKey(const std::string& deviceTreePath) {
    std::vector<std::string> key;
    const std::string path = SysBlockTargetPath(deviceTreePath);
    size_t at = 0;
    std::vector<std::string> parts;
    while (at <= path.size()) {
        size_t slash = path.find('/', at);
        if (slash == std::string::npos) {
            slash = path.size();
        }
        parts.push_back(path.substr(at, slash - at));
        at = slash + 1;
    }
    // The disk's own name (after "block", or the namespace's) is the tie
    // breaker, not part of the place.
    size_t end = parts.size();
    if (end >= 2 && parts[end - 2] == "block") {
        end -= 2;
    }
    for (size_t i = 0; i < end; ++i) {
        const std::string& c = parts[i];
        if (i < 2 && (c == "sys" || c == "devices")) {
            continue;
        }
        size_t mark = 0;
        std::string nsid;
        if (IsPciAddress(c) || StartsWith(c, "pci")) {
            key.push_back(c);
        } else if (IsScsiAddress(c, mark) || IsUsbDevice(c, mark)) {
            // SCSI: channel:target:lun after the host; USB: the port path
            // (and :config.interface) after the bus number.
            key.push_back(FixedNumbers(c.substr(mark + 1)));
        } else if (StartsWith(c, "ata") && AllDigits(c, 3, c.size())) {
            key.push_back("ata" + Fixed(c.substr(3)));
        } else if (IsProbeIndex(c) || c == "nvme") {
            continue;
        } else if (NvmeNamespace(c, nsid)) {
            key.push_back("n" + Fixed(nsid));
        } else {
            key.push_back(FixedNumbers(c));
        }
    }
    return key;
}

bool DiskTopologyLess(const std::vector<std::string>& keyA, const std::string& nameA,
                      const std::vector<std::string>& keyB, const std::string& nameB) {
    if (keyA != keyB) {
        return keyA < keyB;
    }
    return NaturalNameLess(nameA, nameB);
}

}  // namespace vorn
