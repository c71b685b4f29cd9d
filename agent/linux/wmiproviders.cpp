#include "agent/linux/wmiproviders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "agent/linux/hostnamesource.h"
#include "common/vornlogger.h"
#include "common/vornutils.h"

namespace vorn {

namespace {

// Larger than any sysfs attribute or os-release file; a runaway file is cut.
constexpr size_t kMaxSysFileBytes = 64 * 1024;

enum eClassId { eBIOS, eProduct, eComputerSystem, eOperatingSystem, eVolume, eDiskDrive };

struct ClassEntry {
    eClassId m_id;
    WMIClassSchema m_schema;
};

const std::vector<ClassEntry>& Classes() {
    static const std::vector<ClassEntry> classes = {
        {eBIOS, {L"Win32_BIOS", {L"SerialNumber"}}},
        {eProduct, {L"Win32_ComputerSystemProduct", {L"UUID"}}},
        {eComputerSystem, {L"Win32_ComputerSystem", {L"DNSHostName", L"Domain", L"Model"}}},
        {eOperatingSystem,
         {L"Win32_OperatingSystem",
          {L"Version", L"BuildNumber", L"OSArchitecture", L"Caption", L"OSProductSuite",
           L"ProductType", L"SystemDrive", L"KernelRelease"}}},
        {eVolume, {L"Win32_Volume", {L"DeviceID", L"DriveLetter"}}},
        {eDiskDrive, {L"Win32_DiskDrive", {L"SerialNumber", L"MediaType", L"Model"}}},
    };
    return classes;
}

bool EqualsIgnoreCase(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
               return towlower(static_cast<wint_t>(x)) == towlower(static_cast<wint_t>(y));
           });
}

bool Wants(const std::vector<std::wstring>& wanted, const wchar_t* name) {
    return std::find(wanted.begin(), wanted.end(), name) != wanted.end();
}

// Builds one object with the wanted properties, in the order given, from a
// lookup that yields each property's value.
template <typename Lookup>
WMIObject MakeObject(const std::vector<std::wstring>& wanted, Lookup lookup) {
    WMIObject object;
    for (const std::wstring& name : wanted) {
        object.m_properties.emplace_back(name, lookup(name));
    }
    return object;
}

std::string JoinPath(const std::string& root, const std::string& relativePath) {
    if (root.empty() || root.back() == '/') {
        return root + relativePath;
    }
    return root + "/" + relativePath;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ReadLink(const std::string& path, std::string& target) {
    char buffer[4096];
    const ssize_t length = readlink(path.c_str(), buffer, sizeof(buffer) - 1);
    if (length <= 0) {
        return false;
    }
    target.assign(buffer, static_cast<size_t>(length));
    return true;
}

std::vector<std::string> ListDirectory(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            names.emplace_back(entry->d_name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool HasPrefix(const std::string& text, const char* prefix) {
    return text.compare(0, strlen(prefix), prefix) == 0;
}

// Block devices that are not drives: loop, RAM, compressed RAM and
// device-mapper devices.
bool IsDrive(const std::string& name) {
    return !(HasPrefix(name, "loop") || HasPrefix(name, "ram") || HasPrefix(name, "zram") ||
             HasPrefix(name, "dm-"));
}

}  // namespace

eSysFileResult ReadSysFile(const std::string& root, const std::string& relativePath,
                           std::string& text) {
    const std::string path = JoinPath(root, relativePath);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return eSysFileResult::Absent;
        }
        VORN_LOG_ERRNO(CVORNLogger::kWarning, "Cannot read %s", path.c_str());
        return eSysFileResult::Unreadable;
    }
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t count = read(fd, buffer, sizeof(buffer));
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            VORN_LOG_ERRNO(CVORNLogger::kWarning, "Cannot read %s", path.c_str());
            close(fd);
            return eSysFileResult::Unreadable;
        }
        if (count == 0 || content.size() >= kMaxSysFileBytes) {
            break;
        }
        content.append(buffer, static_cast<size_t>(count));
    }
    close(fd);
    if (!content.empty() && content.back() == '\n') {
        content.pop_back();
    }
    text = std::move(content);
    return eSysFileResult::Read;
}

std::map<std::string, std::string> ParseOsRelease(const std::string& text) {
    std::map<std::string, std::string> values;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || equals == std::string::npos || equals == 0) {
            continue;
        }
        const std::string key = line.substr(0, equals);
        if (key.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") != std::string::npos) {
            continue;
        }
        std::string raw = line.substr(equals + 1);
        std::string value;
        bool valid = true;
        if (!raw.empty() && (raw[0] == '"' || raw[0] == '\'')) {
            const char quote = raw[0];
            size_t i = 1;
            bool closed = false;
            for (; i < raw.size(); ++i) {
                const char c = raw[i];
                if (c == quote) {
                    closed = true;
                    ++i;
                    break;
                }
                if (quote == '"' && c == '\\' && i + 1 < raw.size()) {
                    value += raw[++i];
                } else {
                    value += c;
                }
            }
            std::string rest = raw.substr(i);
            Trim(rest);
            valid = closed && rest.empty();
        } else {
            value = raw;
            valid = value.find_first_of(" \t\"'`$\\") == std::string::npos;
        }
        if (valid) {
            values[key] = value;
        }
    }
    return values;
}

std::string PreciseVersion(const std::string& versionId, const std::string& debianVersion) {
    if (!versionId.empty() && debianVersion.size() > versionId.size() + 1 &&
        debianVersion.compare(0, versionId.size(), versionId) == 0 &&
        debianVersion[versionId.size()] == '.' &&
        debianVersion.find_first_not_of("0123456789.") == std::string::npos) {
        return debianVersion;
    }
    return versionId;
}

std::string ArchitectureText(const std::string& machine) {
    const bool is64 = machine.find("64") != std::string::npos || machine == "s390x";
    return is64 ? "64-bit" : "32-bit";
}

bool FindRootMount(const std::string& mountinfo, std::string& majorMinor, std::string& source) {
    bool found = false;
    std::istringstream lines(mountinfo);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mountPoint;
        if (!(fields >> id >> parent >> device >> root >> mountPoint) || mountPoint != "/") {
            continue;
        }
        // Optional fields end at the lone "-", then file system type and source.
        std::string field, fsType, mountSource;
        while (fields >> field && field != "-") {
        }
        if (field != "-" || !(fields >> fsType >> mountSource)) {
            continue;
        }
        majorMinor = device;
        source = mountSource;
        found = true;  // a later mount on "/" hides the earlier one
    }
    return found;
}

CWMISystemSource::CWMISystemSource(std::string sysRoot, std::shared_ptr<IHostNameSource> hostNames)
    : m_strRoot(std::move(sysRoot)), m_spHostNames(std::move(hostNames)) {}

const WMIClassSchema* CWMISystemSource::FindClass(const std::wstring& name) {
    for (const ClassEntry& entry : Classes()) {
        if (EqualsIgnoreCase(entry.m_schema.m_strName, name)) {
            return &entry.m_schema;
        }
    }
    return nullptr;
}

std::vector<WMIObject> CWMISystemSource::Enumerate(const WMIClassSchema& schema,
                                                   const std::vector<std::wstring>& wanted) const {
    for (const ClassEntry& entry : Classes()) {
        if (&entry.m_schema != &schema) {
            continue;
        }
        switch (entry.m_id) {
            case eBIOS:
                return bios(wanted);
            case eProduct:
                return product(wanted);
            case eComputerSystem:
                return computerSystem(wanted);
            case eOperatingSystem:
                return operatingSystem(wanted);
            case eVolume:
                return volumes(wanted);
            case eDiskDrive:
                return diskDrives(wanted);
        }
    }
    return {};
}

WMIVariant CWMISystemSource::fileValue(const std::string& relativePath) const {
    std::string text;
    if (ReadSysFile(m_strRoot, relativePath, text) != eSysFileResult::Read) {
        return WMIVariant::Null();
    }
    std::wstring wide = UTF8ToWide(text);
    if (wide.empty() && !text.empty()) {
        VORN_LOG_WARNING("Ignoring %s: not UTF-8 text", JoinPath(m_strRoot, relativePath).c_str());
        return WMIVariant::Null();
    }
    return WMIVariant::String(std::move(wide));
}

// The BIOS and the product UUID exist only where the firmware publishes DMI
// tables; without them the class has no object rather than an empty one.
std::vector<WMIObject> CWMISystemSource::bios(const std::vector<std::wstring>& wanted) const {
    WMIVariant serial = fileValue("sys/class/dmi/id/product_serial");
    if (serial.m_vt == WMI_VT_NULL) {
        return {};
    }
    return {MakeObject(wanted, [&](const std::wstring&) { return serial; })};
}

std::vector<WMIObject> CWMISystemSource::product(const std::vector<std::wstring>& wanted) const {
    WMIVariant uuid = fileValue("sys/class/dmi/id/product_uuid");
    if (uuid.m_vt == WMI_VT_NULL) {
        return {};
    }
    return {MakeObject(wanted, [&](const std::wstring&) { return uuid; })};
}

std::vector<WMIObject> CWMISystemSource::computerSystem(
    const std::vector<std::wstring>& wanted) const {
    std::string host;
    const bool haveHost = m_spHostNames && m_spHostNames->GetHostName(host);
    std::string domain;
    if (haveHost && Wants(wanted, L"Domain")) {
        std::string canonical;
        if (m_spHostNames->GetCanonicalName(host, canonical)) {
            const size_t dot = canonical.find('.');
            if (dot != std::string::npos) {
                domain = canonical.substr(dot + 1);
            }
        }
    }
    return {MakeObject(wanted, [&](const std::wstring& name) {
        if (name == L"DNSHostName") {
            return haveHost ? WMIVariant::String(UTF8ToWide(host)) : WMIVariant::Null();
        }
        if (name == L"Domain") {
            return haveHost ? WMIVariant::String(UTF8ToWide(domain)) : WMIVariant::Null();
        }
        return fileValue("sys/class/dmi/id/product_name");
    })};
}

std::vector<WMIObject> CWMISystemSource::operatingSystem(
    const std::vector<std::wstring>& wanted) const {
    std::map<std::string, std::string> release;
    std::string text;
    if (ReadSysFile(m_strRoot, "etc/os-release", text) == eSysFileResult::Read ||
        ReadSysFile(m_strRoot, "usr/lib/os-release", text) == eSysFileResult::Read) {
        release = ParseOsRelease(text);
    } else {
        VORN_LOG_WARNING("No os-release file under %s", m_strRoot.c_str());
    }
    auto releaseValue = [&](const char* key) {
        auto it = release.find(key);
        return it == release.end() ? WMIVariant::Null()
                                   : WMIVariant::String(UTF8ToWide(it->second));
    };
    std::string kernel;
    const bool haveKernel =
        ReadSysFile(m_strRoot, "proc/sys/kernel/osrelease", kernel) == eSysFileResult::Read;

    return {MakeObject(wanted, [&](const std::wstring& name) {
        if (name == L"Caption") {
            return releaseValue("PRETTY_NAME");
        }
        if (name == L"Version") {
            auto it = release.find("VERSION_ID");
            if (it == release.end()) {
                return WMIVariant::Null();
            }
            std::string debian;
            if (ReadSysFile(m_strRoot, "etc/debian_version", debian) != eSysFileResult::Read) {
                debian.clear();
            }
            return WMIVariant::String(UTF8ToWide(PreciseVersion(it->second, debian)));
        }
        if (name == L"BuildNumber") {
            if (release.count("BUILD_ID") != 0) {
                return releaseValue("BUILD_ID");
            }
            return haveKernel ? WMIVariant::String(UTF8ToWide(kernel)) : WMIVariant::Null();
        }
        if (name == L"KernelRelease") {
            return haveKernel ? WMIVariant::String(UTF8ToWide(kernel)) : WMIVariant::Null();
        }
        if (name == L"OSArchitecture") {
            std::string machine;
            if (ReadSysFile(m_strRoot, "proc/sys/kernel/arch", machine) != eSysFileResult::Read) {
                // Older kernels lack the file; uname describes only the live root.
                utsname names{};
                if (m_strRoot != "/" || uname(&names) != 0) {
                    return WMIVariant::Null();
                }
                machine = names.machine;
            }
            return WMIVariant::String(UTF8ToWide(ArchitectureText(machine)));
        }
        if (name == L"OSProductSuite") {
            return WMIVariant::Unsigned(WMI_VT_UI4, 0);
        }
        if (name == L"ProductType") {
            return WMIVariant::Unsigned(WMI_VT_UI4, 1);
        }
        return WMIVariant::String(L"/");  // SystemDrive
    })};
}

std::string CWMISystemSource::rootFileSystemUUID() const {
    std::string mountinfo, majorMinor, source;
    if (ReadSysFile(m_strRoot, "proc/self/mountinfo", mountinfo) != eSysFileResult::Read ||
        !FindRootMount(mountinfo, majorMinor, source)) {
        return {};
    }
    // The device as named by the mount table, and as the kernel names the
    // numbers ("/dev/root" and mapper names resolve only through the latter).
    std::vector<std::string> candidates;
    if (HasPrefix(source, "/dev/")) {
        candidates.push_back(BaseName(source));
    }
    std::string target;
    if (ReadLink(JoinPath(m_strRoot, "sys/dev/block/" + majorMinor), target)) {
        candidates.push_back(BaseName(target));
    }
    const std::string byUuid = JoinPath(m_strRoot, "dev/disk/by-uuid");
    for (const std::string& uuid : ListDirectory(byUuid)) {
        if (ReadLink(byUuid + "/" + uuid, target) &&
            std::find(candidates.begin(), candidates.end(), BaseName(target)) != candidates.end()) {
            return uuid;
        }
    }
    return {};
}

std::vector<WMIObject> CWMISystemSource::volumes(const std::vector<std::wstring>& wanted) const {
    const std::string uuid = rootFileSystemUUID();
    if (uuid.empty()) {
        return {};
    }
    return {MakeObject(wanted, [&](const std::wstring& name) {
        if (name == L"DeviceID") {
            return WMIVariant::String(L"\\\\?\\Volume{" + UTF8ToWide(uuid) + L"}\\");
        }
        return WMIVariant::String(L"/");  // DriveLetter
    })};
}

std::vector<WMIObject> CWMISystemSource::diskDrives(const std::vector<std::wstring>& wanted) const {
    std::vector<WMIObject> drives;
    for (const std::string& name : ListDirectory(JoinPath(m_strRoot, "sys/block"))) {
        if (!IsDrive(name)) {
            continue;
        }
        const std::string base = "sys/block/" + name + "/";
        drives.push_back(MakeObject(wanted, [&](const std::wstring& property) {
            if (property == L"SerialNumber") {
                WMIVariant serial = fileValue(base + "device/serial");
                return serial.m_vt != WMI_VT_NULL ? serial : fileValue(base + "serial");
            }
            if (property == L"Model") {
                return fileValue(base + "device/model");
            }
            // MediaType. The sys/block entry links into the device tree, whose
            // path names the bus the disk hangs on.
            std::string removable, target;
            if (ReadSysFile(m_strRoot, base + "removable", removable) == eSysFileResult::Read &&
                removable == "1") {
                return WMIVariant::String(L"Removable Media");
            }
            if (ReadLink(JoinPath(m_strRoot, "sys/block/" + name), target) &&
                target.find("/usb") != std::string::npos) {
                return WMIVariant::String(L"External hard disk media");
            }
            return WMIVariant::String(L"Fixed hard disk media");
        }));
    }
    return drives;
}

}  // namespace vorn

const WMIVariant* WMIObject::Find(const std::wstring& name) const {
    for (const auto& property : m_properties) {
        if (property.first == name) {
            return &property.second;
        }
    }
    return nullptr;
}
