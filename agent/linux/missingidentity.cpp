#include "agent/linux/missingidentity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "agent/linux/wmiproviders.h"
#include "common/textescape.h"
#include "common/vornutils.h"

namespace vorn {

namespace {

std::string JoinPath(const std::string& root, const std::string& relativePath) {
    if (root.empty() || root.back() == '/') {
        return root + relativePath;
    }
    return root + "/" + relativePath;
}

std::string ErrnoText(int error) {
    char buffer[256] = {};
    return strerror_r(error, buffer, sizeof(buffer));
}

// What is wrong with the DMI file that should have given the value.
std::string DescribeDmiFile(const std::string& root, const std::string& relativePath) {
    const std::string path = JoinPath(root, relativePath);
    const std::string shown = EscapeUntrusted(path);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        struct stat info {};
        if (error == ENOENT || error == ENOTDIR) {
            if (stat(JoinPath(root, "sys/class/dmi/id").c_str(), &info) != 0) {
                return shown + " does not exist (no DMI on this machine)";
            }
            return shown + " does not exist (the firmware publishes no such value)";
        }
        if ((error == EACCES || error == EPERM) && stat(path.c_str(), &info) == 0 &&
            info.st_uid == 0 && (info.st_mode & S_IROTH) == 0) {
            return shown + " is readable by root only";
        }
        return shown + " cannot be read: " + ErrnoText(error);
    }
    close(fd);
    std::string text;
    if (ReadSysFile(root, relativePath, text) != eSysFileResult::Read) {
        return shown + " cannot be read";
    }
    Trim(text);
    if (text.empty()) {
        return shown + " is empty (the firmware sets no value)";
    }
    return shown + " holds a value that could not be used";
}

std::string DescribeHostName() {
    char buffer[HOST_NAME_MAX + 1] = {};
    if (gethostname(buffer, sizeof(buffer) - 1) != 0) {
        return "gethostname failed: " + ErrnoText(errno);
    }
    if (buffer[0] == '\0') {
        return "the kernel's host name is empty";
    }
    return "the host name could not be used";
}

}  // namespace

std::vector<std::string> ExplainMissingIdentity(const std::list<CAttribute>& attributes,
                                                const std::string& sysRoot) {
    auto present = [&](const char* tag) {
        return std::any_of(attributes.begin(), attributes.end(),
                           [&](const CAttribute& attribute) { return attribute.m_strTag == tag; });
    };
    std::vector<std::string> lines;
    if (!present(AttributeTags::pszSerialNumber)) {
        lines.push_back("no firmware serial number: " +
                        DescribeDmiFile(sysRoot, "sys/class/dmi/id/product_serial"));
    }
    if (!present(AttributeTags::pszUUID)) {
        lines.push_back("no firmware UUID: " +
                        DescribeDmiFile(sysRoot, "sys/class/dmi/id/product_uuid"));
    }
    if (!present(AttributeTags::pszHostname)) {
        lines.push_back("no host name: " + DescribeHostName());
    }
    return lines;
}

}  // namespace vorn
