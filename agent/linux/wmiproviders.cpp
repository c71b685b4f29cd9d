#include "agent/linux/wmiproviders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "agent/linux/disktopology.h"
#include "agent/linux/hostnamesource.h"
#include "agent/linux/superblockprobe.h"
#include "common/textescape.h"
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

// Names of classes and properties are ASCII (the query reader takes no
// other letters): their case is folded without the locale's tables.
bool EqualsAsciiIgnoreCase(const std::wstring& a, const std::wstring& b) {
    auto fold = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [&](wchar_t x, wchar_t y) { return fold(x) == fold(y); });
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

// The next blank-separated field of 'line' from 'at' on, advancing 'at'
// past it; false when only blanks remain.
bool NextField(const std::string& line, size_t& at, std::string& field) {
    static const char kBlanks[] = " \t\n\v\f\r";
    const size_t start = line.find_first_not_of(kBlanks, at);
    if (start == std::string::npos) {
        at = line.size();
        return false;
    }
    size_t end = line.find_first_of(kBlanks, start);
    if (end == std::string::npos) {
        end = line.size();
    }
    field.assign(line, start, end - start);
    at = end;
    return true;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A file that is not there, or a sysfs attribute that exists for every device
// of its kind but has no value for this one: a disk without the inquiry page
// behind "wwid" fails the read with ENXIO or EINVAL, one gone with ENODEV.
bool IsAbsentValue(int error) {
    return error == ENOENT || error == ENOTDIR || error == ENXIO || error == ENODEV ||
           error == EINVAL || error == ENODATA;
}

}  // namespace

bool NaturalNameLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digitA = IsDigit(a[i]), digitB = IsDigit(b[j]);
        if (digitA != digitB) {
            return digitA;  // "sd1" before "sda"
        }
        size_t endA = i, endB = j;
        while (endA < a.size() && IsDigit(a[endA]) == digitA) {
            ++endA;
        }
        while (endB < b.size() && IsDigit(b[endB]) == digitB) {
            ++endB;
        }
        std::string runA = a.substr(i, endA - i), runB = b.substr(j, endB - j);
        if (digitA) {
            // Numerically: leading zeros dropped, then the shorter number is less.
            const size_t zerosA = std::min(runA.find_first_not_of('0'), runA.size() - 1);
            const size_t zerosB = std::min(runB.find_first_not_of('0'), runB.size() - 1);
            runA.erase(0, zerosA);
            runB.erase(0, zerosB);
        }
        // Numbers compare by length first; so do letter indexes of one device
        // family ("sdz" before "sdaa"), which share their leading letter.
        const bool byLength = digitA || runA[0] == runB[0];
        if (byLength && runA.size() != runB.size()) {
            return runA.size() < runB.size();
        }
        if (runA != runB) {
            return runA < runB;
        }
        i = endA;
        j = endB;
    }
    if ((a.size() - i) != (b.size() - j)) {
        return a.size() - i < b.size() - j;
    }
    return a < b;
}

bool ParseUnitSerialPage(const std::string& page, std::string& serial) {
    if (page.size() < 4 || static_cast<unsigned char>(page[1]) != 0x80) {
        return false;
    }
    const size_t length = (static_cast<size_t>(static_cast<unsigned char>(page[2])) << 8) |
                          static_cast<unsigned char>(page[3]);
    std::string text = page.substr(4, std::min(length, page.size() - 4));
    // Devices pad the field with blanks (ATA serials are right-aligned in 20
    // characters) or NULs.
    const size_t first = text.find_first_not_of(std::string(" \0\t", 3));
    if (first == std::string::npos) {
        return false;
    }
    const size_t last = text.find_last_not_of(std::string(" \0\t", 3));
    serial = text.substr(first, last - first + 1);
    return true;
}

eSysFileResult ReadSysBytes(const std::string& root, const std::string& relativePath,
                            std::string& bytes) {
    return ReadSysBytesAt(AT_FDCWD, root, relativePath, "", bytes);
}

eSysFileResult ReadSysBytesAt(int directoryFd, const std::string& root,
                              const std::string& directory, const std::string& name,
                              std::string& bytes) {
    const std::string path = JoinPath(root, directory + name);
    const int fd = directoryFd == AT_FDCWD
                       ? open(path.c_str(), O_RDONLY | O_CLOEXEC)
                       : openat(directoryFd, name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (IsAbsentValue(errno)) {
            return eSysFileResult::Absent;
        }
        VORN_LOG_ERRNO(CVORNLogger::kWarning, "Cannot read %s", EscapeUntrusted(path).c_str());
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
            if (IsAbsentValue(errno)) {
                close(fd);
                return eSysFileResult::Absent;
            }
            VORN_LOG_ERRNO(CVORNLogger::kWarning, "Cannot read %s", EscapeUntrusted(path).c_str());
            close(fd);
            return eSysFileResult::Unreadable;
        }
        if (count == 0 || content.size() >= kMaxSysFileBytes) {
            break;
        }
        content.append(buffer, static_cast<size_t>(count));
    }
    close(fd);
    bytes = std::move(content);
    return eSysFileResult::Read;
}

eSysFileResult ReadSysFile(const std::string& root, const std::string& relativePath,
                           std::string& text) {
    std::string content;
    const eSysFileResult result = ReadSysBytes(root, relativePath, content);
    if (result != eSysFileResult::Read) {
        return result;
    }
    if (!content.empty() && content.back() == '\n') {
        content.pop_back();
    }
    text = std::move(content);
    return eSysFileResult::Read;
}

std::wstring DecodeSystemText(const std::string& bytes, const std::string& root,
                              const std::string& relativePath) {
    size_t replaced = 0;
    std::wstring text = UTF8ToWideLossy(bytes, &replaced);
    if (replaced != 0) {
        VORN_LOG_WARNING("%s is not UTF-8 text: %zu invalid bytes read as U+FFFD",
                         EscapeUntrusted(JoinPath(root, relativePath)).c_str(), replaced);
    }
    return text;
}

eSysFileResult ReadSysText(const std::string& root, const std::string& relativePath,
                           std::wstring& text) {
    std::string bytes;
    const eSysFileResult result = ReadSysFile(root, relativePath, bytes);
    if (result == eSysFileResult::Read) {
        text = DecodeSystemText(bytes, root, relativePath);
    }
    return result;
}

std::map<std::string, std::string> ParseOsRelease(const std::string& text) {
    std::map<std::string, std::string> values;
    size_t next = 0;
    std::string line;
    while (NextLine(text, next, line)) {
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
    size_t next = 0;
    std::string line;
    while (NextLine(mountinfo, next, line)) {
        size_t at = 0;
        std::string id, parent, device, root, mountPoint;
        if (!NextField(line, at, id) || !NextField(line, at, parent) ||
            !NextField(line, at, device) || !NextField(line, at, root) ||
            !NextField(line, at, mountPoint) || mountPoint != "/") {
            continue;
        }
        // Optional fields end at the lone "-", then file system type and source.
        std::string field, fsType, mountSource;
        while (NextField(line, at, field) && field != "-") {
        }
        if (field != "-" || !NextField(line, at, fsType) || !NextField(line, at, mountSource)) {
            continue;
        }
        majorMinor = device;
        source = mountSource;
        found = true;  // a later mount on "/" hides the earlier one
    }
    return found;
}

// A drive of sys/block as the disk listing found it: a drive (not hidden, not
// optical, not another path to a disk listed before it), where its link into
// the device tree leads, and its serial, read once.
struct CWMISystemSource::DiskRecord {
    std::string m_strName;
    std::string m_strDevicePath;  // the sys/block link's target, empty when unreadable
    WMIVariant m_serial;
    // The disk's directory, kept open for the collection's later queries
    // (for the first kMaxOpenDisks disks only: a machine with thousands of
    // LUNs must not run out of descriptors); null: opened again when needed.
    std::shared_ptr<DiskDirectory> m_spDirectory;
    static constexpr size_t kMaxOpenDisks = 64;
};

// What one collection has read. A lookup is taken at most once.
struct CWMISystemSource::Collection {
    bool m_bHostRead = false;
    bool m_bHostFound = false;
    std::string m_strHost;

    std::string m_strLookupHost;  // the host whose canonical name is being looked up
    IHostNameSource::PendingName m_fnLookup;
    bool m_bLookupTaken = false;
    bool m_bLookupFound = false;
    std::string m_strCanonical;

    bool m_bReleaseRead = false;
    bool m_bReleaseFound = false;
    std::map<std::string, std::string> m_release;

    bool m_bKernelRead = false;
    bool m_bKernelFound = false;
    std::wstring m_strKernel;

    bool m_bDisksListed = false;
    std::vector<DiskRecord> m_disks;
};

CWMISystemSource::CWMISystemSource(std::string sysRoot, std::shared_ptr<IHostNameSource> hostNames)
    : m_strRoot(std::move(sysRoot)), m_spHostNames(std::move(hostNames)) {}

CWMISystemSource::~CWMISystemSource() = default;

void CWMISystemSource::BeginCollection() {
    m_pCollection = std::make_unique<Collection>();
    // The domain of a host name of one label comes from the resolver, which
    // may take a while: it answers while the other sources are read.
    std::string name;
    if (hostName(name) && name.find('.') == std::string::npos) {
        m_pCollection->m_strLookupHost = name;
        m_pCollection->m_fnLookup = m_spHostNames->StartCanonicalName(name);
    }
}

void CWMISystemSource::EndCollection() {
    m_pCollection.reset();
}

bool CWMISystemSource::hostName(std::string& name) {
    Collection* collection = m_pCollection.get();
    if (collection != nullptr && collection->m_bHostRead) {
        name = collection->m_strHost;
        return collection->m_bHostFound;
    }
    const bool found = m_spHostNames && m_spHostNames->GetHostName(name);
    if (collection != nullptr) {
        collection->m_bHostRead = true;
        collection->m_bHostFound = found;
        collection->m_strHost = name;
    }
    return found;
}

bool CWMISystemSource::canonicalName(const std::string& host, std::string& canonical) {
    Collection* collection = m_pCollection.get();
    if (collection == nullptr || !collection->m_fnLookup || collection->m_strLookupHost != host) {
        return m_spHostNames->GetCanonicalName(host, canonical);
    }
    if (!collection->m_bLookupTaken) {
        collection->m_bLookupTaken = true;
        collection->m_bLookupFound = collection->m_fnLookup(collection->m_strCanonical);
    }
    canonical = collection->m_strCanonical;
    return collection->m_bLookupFound;
}

bool CWMISystemSource::osRelease(std::map<std::string, std::string>& release) {
    Collection* collection = m_pCollection.get();
    if (collection != nullptr && collection->m_bReleaseRead) {
        release = collection->m_release;
        return collection->m_bReleaseFound;
    }
    std::wstring text;
    const bool found = ReadSysText(m_strRoot, "etc/os-release", text) == eSysFileResult::Read ||
                       ReadSysText(m_strRoot, "usr/lib/os-release", text) == eSysFileResult::Read;
    release.clear();
    if (found) {
        release = ParseOsRelease(WideToUTF8(text));
    }
    if (collection != nullptr) {
        collection->m_bReleaseRead = true;
        collection->m_bReleaseFound = found;
        collection->m_release = release;
    }
    return found;
}

bool CWMISystemSource::kernelRelease(std::wstring& kernel) {
    Collection* collection = m_pCollection.get();
    if (collection != nullptr && collection->m_bKernelRead) {
        kernel = collection->m_strKernel;
        return collection->m_bKernelFound;
    }
    const bool found =
        ReadSysText(m_strRoot, "proc/sys/kernel/osrelease", kernel) == eSysFileResult::Read;
    if (collection != nullptr) {
        collection->m_bKernelRead = true;
        collection->m_bKernelFound = found;
        collection->m_strKernel = kernel;
    }
    return found;
}

const WMIClassSchema* CWMISystemSource::FindClass(const std::wstring& name) {
    for (const ClassEntry& entry : Classes()) {
        if (EqualsAsciiIgnoreCase(entry.m_schema.m_strName, name)) {
            return &entry.m_schema;
        }
    }
    return nullptr;
}

std::vector<WMIObject> CWMISystemSource::Enumerate(const WMIClassSchema& schema,
                                                   const std::vector<std::wstring>& wanted) {
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
    std::wstring text;
    if (ReadSysText(m_strRoot, relativePath, text) != eSysFileResult::Read) {
        return WMIVariant::Null();
    }
    return WMIVariant::String(std::move(text));
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
    // The kernel prints the UUID in lower case; firmware tables as the query
    // class reports them use upper case.
    for (wchar_t& c : uuid.m_str) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    }
    return {MakeObject(wanted, [&](const std::wstring&) { return uuid; })};
}

std::vector<WMIObject> CWMISystemSource::computerSystem(const std::vector<std::wstring>& wanted) {
    std::string name;
    const bool haveHost = hostName(name);
    // The host field holds one label, as a computer name does. A static name
    // that is fully qualified (ip-172-31-1-2.ec2.internal) names its own
    // domain; a single label asks the resolver.
    const size_t firstDot = name.find('.');
    const std::string host = name.substr(0, firstDot);
    std::string domain;
    if (haveHost && firstDot != std::string::npos) {
        domain = name.substr(firstDot + 1);
    } else if (haveHost && Wants(wanted, L"Domain")) {
        std::string canonical;
        if (canonicalName(host, canonical)) {
            const size_t dot = canonical.find('.');
            if (dot != std::string::npos) {
                domain = canonical.substr(dot + 1);
            }
        }
    }
    return {MakeObject(wanted, [&](const std::wstring& name) {
        if (name == L"DNSHostName") {
            return haveHost ? WMIVariant::String(UTF8ToWideLossy(host)) : WMIVariant::Null();
        }
        if (name == L"Domain") {
            return haveHost ? WMIVariant::String(UTF8ToWideLossy(domain)) : WMIVariant::Null();
        }
        return fileValue("sys/class/dmi/id/product_name");
    })};
}

std::vector<WMIObject> CWMISystemSource::operatingSystem(const std::vector<std::wstring>& wanted) {
    // Each file is read only when a wanted property comes from it: the
    // system drive, asked for alone, reads nothing.
    std::map<std::string, std::string> release;
    if ((Wants(wanted, L"Caption") || Wants(wanted, L"Version") || Wants(wanted, L"BuildNumber")) &&
        !osRelease(release)) {
        VORN_LOG_WARNING("No os-release file under %s", m_strRoot.c_str());
    }
    auto releaseValue = [&](const char* key) {
        auto it = release.find(key);
        return it == release.end() ? WMIVariant::Null()
                                   : WMIVariant::String(UTF8ToWide(it->second));
    };
    std::wstring kernel;
    const bool haveKernel =
        (Wants(wanted, L"BuildNumber") || Wants(wanted, L"KernelRelease")) && kernelRelease(kernel);

    return {MakeObject(wanted, [&](const std::wstring& name) {
        if (name == L"Caption") {
            return releaseValue("PRETTY_NAME");
        }
        if (name == L"Version") {
            auto it = release.find("VERSION_ID");
            if (it == release.end()) {
                return WMIVariant::Null();
            }
            std::wstring debian;
            if (ReadSysText(m_strRoot, "etc/debian_version", debian) != eSysFileResult::Read) {
                debian.clear();
            }
            std::string version = PreciseVersion(it->second, WideToUTF8(debian));
            // A version of one number (Fedora's 40, Amazon Linux's 2023) is a
            // major version with no minor one; the dot keeps it so through
            // the major.minor split.
            if (!version.empty() && version.find('.') == std::string::npos) {
                version += '.';
            }
            return WMIVariant::String(UTF8ToWide(version));
        }
        if (name == L"BuildNumber") {
            if (release.count("BUILD_ID") != 0) {
                return releaseValue("BUILD_ID");
            }
            return haveKernel ? WMIVariant::String(kernel) : WMIVariant::Null();
        }
        if (name == L"KernelRelease") {
            return haveKernel ? WMIVariant::String(kernel) : WMIVariant::Null();
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
        std::string link = byUuid;
        link += '/';
        link += uuid;
        if (ReadLink(link, target) &&
            std::find(candidates.begin(), candidates.end(), BaseName(target)) != candidates.end()) {
            return uuid;
        }
    }
    // Without udev's links (containers, micro-VMs, mdev systems) the UUID is
    // still in the file system's superblock on the device node.
    std::vector<std::string> nodes;
    if (HasPrefix(source, "/dev/") && source.find("/../") == std::string::npos) {
        nodes.push_back(source.substr(1));
    }
    for (const std::string& name : candidates) {
        if (name != "." && name != ".." && !name.empty()) {
            nodes.push_back("dev/" + name);
        }
    }
    for (const std::string& node : nodes) {
        struct stat info {};
        const std::string path = JoinPath(m_strRoot, node);
        if (stat(path.c_str(), &info) == 0 && (S_ISBLK(info.st_mode) || S_ISREG(info.st_mode))) {
            return SuperblockUUID(path);
        }
    }
    VORN_LOG_DEBUG("The root file system (%s) has no block device: no partition id",
                   EscapeUntrusted(source).c_str());
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

// One disk's sysfs directory, opened once: its files are read relative to it
// rather than through the device tree's long, symlinked paths each time.
class CWMISystemSource::DiskDirectory {
public:
    DiskDirectory(const std::string& root, const std::string& name)
        : m_strRoot(root), m_strBase("sys/block/" + name + "/") {
        m_fd = open(JoinPath(root, m_strBase).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    ~DiskDirectory() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    DiskDirectory(const DiskDirectory&) = delete;
    DiskDirectory& operator=(const DiskDirectory&) = delete;

    eSysFileResult Bytes(const std::string& name, std::string& bytes) const {
        if (m_fd < 0) {
            return eSysFileResult::Absent;
        }
        return ReadSysBytesAt(m_fd, m_strRoot, m_strBase, name, bytes);
    }
    // The file's text without its final line feed.
    eSysFileResult Text(const std::string& name, std::string& text) const {
        const eSysFileResult result = Bytes(name, text);
        if (result == eSysFileResult::Read && !text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        return result;
    }
    WMIVariant Value(const std::string& name) const {
        std::string text;
        if (Text(name, text) != eSysFileResult::Read) {
            return WMIVariant::Null();
        }
        return WMIVariant::String(DecodeSystemText(text, m_strRoot, m_strBase + name));
    }
    const std::string& Base() const { return m_strBase; }

private:
    const std::string& m_strRoot;
    std::string m_strBase;
    int m_fd = -1;
};

namespace {

// Firmware and USB bridges fill an unset serial with blanks: such a serial
// names nothing, and the next source is asked.
bool IsBlank(const std::wstring& text) {
    return text.find_first_not_of(L" \t\n\v\f\r") == std::wstring::npos;
}

bool HasText(const WMIVariant& value) {
    return value.m_vt != WMI_VT_NULL && !IsBlank(value.m_str);
}

}  // namespace

// The disk's serial: virtio's "serial", the NVMe controller's or subsystem's
// "device/serial", else the SCSI unit serial number page (SATA, SAS, UAS),
// else the serial of the USB device the disk belongs to (usb-storage does
// not ask the device for the page).
WMIVariant CWMISystemSource::diskSerial(const DiskDirectory& disk,
                                        const std::string& devicePath) const {
    WMIVariant serial = disk.Value("serial");
    if (!HasText(serial)) {
        serial = disk.Value("device/serial");
    }
    std::string page, text;
    if (!HasText(serial) && disk.Bytes("device/vpd_pg80", page) == eSysFileResult::Read &&
        ParseUnitSerialPage(page, text)) {
        serial =
            WMIVariant::String(DecodeSystemText(text, m_strRoot, disk.Base() + "device/vpd_pg80"));
    }
    if (!HasText(serial)) {
        serial = usbSerial(devicePath);
    }
    return HasText(serial) ? serial : WMIVariant::Null();
}

// The "serial" of the USB device (the nearest ancestor with a vendor id) the
// disk belongs to. Only that device counts: when it has none, neither does
// the disk. A hub above it is never asked, for a root hub's serial is its
// controller's PCI address, which two sticks on one controller share.
WMIVariant CWMISystemSource::usbSerial(const std::string& devicePath) const {
    const std::string device = UsbDeviceDirectory(devicePath, [&](const std::string& directory) {
        struct stat info {};
        return stat(JoinPath(m_strRoot, directory + "/idVendor").c_str(), &info) == 0;
    });
    if (device.empty()) {
        return WMIVariant::Null();
    }
    std::string deviceClass;
    if (ReadSysFile(m_strRoot, device + "/bDeviceClass", deviceClass) == eSysFileResult::Read &&
        deviceClass == "09") {
        return WMIVariant::Null();  // a hub
    }
    return fileValue(device + "/serial");
}

std::vector<CWMISystemSource::DiskRecord> CWMISystemSource::listDisks() const {
    struct Candidate {
        std::string m_strName;
        std::string m_strDevicePath;
        std::vector<std::string> m_key;
    };
    std::vector<Candidate> candidates;
    for (const std::string& name : ListDirectory(JoinPath(m_strRoot, "sys/block"))) {
        if (!IsDrive(name)) {
            continue;
        }
        Candidate candidate{name, {}, {}};
        if (ReadLink(JoinPath(m_strRoot, "sys/block/" + name), candidate.m_strDevicePath)) {
            candidate.m_key = DiskTopologyKey(candidate.m_strDevicePath);
        }
        // A multipath NVMe namespace hangs below a virtual subsystem device;
        // its place is that of its first path (its controller's, then its id).
        if (candidate.m_strDevicePath.find("/nvme-subsystem/") != std::string::npos) {
            bool found = false;
            for (const std::string& path :
                 ListDirectory(JoinPath(m_strRoot, "sys/block/" + name + "/multipath"))) {
                std::string target;
                if (path.find('/') != std::string::npos ||
                    !ReadLink(JoinPath(m_strRoot, "sys/block/" + path), target)) {
                    continue;
                }
                std::vector<std::string> key = DiskTopologyKey(target);
                if (!found || key < candidate.m_key) {
                    candidate.m_key = std::move(key);
                    found = true;
                }
            }
        }
        candidates.push_back(std::move(candidate));
    }
    // The kernel's names depend on the order in which parallel probes finish;
    // where a disk sits does not. Listing by place keeps the list, and its
    // first disk, the same from boot to boot.
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return DiskTopologyLess(a.m_key, a.m_strName, b.m_key, b.m_strName);
    });

    std::vector<DiskRecord> disks;
    std::vector<std::wstring> identities;  // a disk reached twice (multipath) is one disk
    for (Candidate& candidate : candidates) {
        const std::string& name = candidate.m_strName;
        auto directory = std::make_shared<DiskDirectory>(m_strRoot, name);
        const DiskDirectory& disk = *directory;
        // Hidden devices are the paths of an NVMe multipath namespace: the
        // namespace itself is listed once, and paths come and go as they fail.
        std::string hidden, type;
        if (disk.Text("hidden", hidden) == eSysFileResult::Read && hidden == "1") {
            continue;
        }
        // An optical drive (SCSI peripheral type 5) holds media, not the
        // machine's storage; a virtual CD must not make a server look virtual.
        if (disk.Text("device/type", type) == eSysFileResult::Read && type == "5") {
            continue;
        }
        WMIVariant serial = diskSerial(disk, candidate.m_strDevicePath);
        // Paths to one namespace or LUN share its world-wide id; namespaces of
        // one controller share the serial but not the id.
        WMIVariant identity = disk.Value("wwid");
        if (!HasText(identity)) {
            identity = disk.Value("device/wwid");
        }
        if (!HasText(identity)) {
            identity = serial;
        }
        if (HasText(identity)) {
            if (std::find(identities.begin(), identities.end(), identity.m_str) !=
                identities.end()) {
                VORN_LOG_DEBUG("Disk %s is another path to a disk already listed",
                               EscapeUntrusted(name).c_str());
                continue;
            }
            identities.push_back(identity.m_str);
        }
        if (disks.size() >= DiskRecord::kMaxOpenDisks) {
            directory.reset();
        }
        disks.push_back(
            {name, std::move(candidate.m_strDevicePath), std::move(serial), std::move(directory)});
    }
    return disks;
}

std::vector<WMIObject> CWMISystemSource::diskDrives(const std::vector<std::wstring>& wanted) {
    std::vector<DiskRecord> listed;
    const std::vector<DiskRecord>* disks = &listed;
    if (m_pCollection) {
        if (!m_pCollection->m_bDisksListed) {
            m_pCollection->m_disks = listDisks();
            m_pCollection->m_bDisksListed = true;
        }
        disks = &m_pCollection->m_disks;
    } else {
        listed = listDisks();
    }
    const bool needFiles = Wants(wanted, L"Model") || Wants(wanted, L"MediaType");

    std::vector<WMIObject> drives;
    drives.reserve(disks->size());
    for (const DiskRecord& record : *disks) {
        std::shared_ptr<DiskDirectory> disk = record.m_spDirectory;
        if (needFiles && !disk) {
            disk = std::make_shared<DiskDirectory>(m_strRoot, record.m_strName);
        }
        drives.push_back(MakeObject(wanted, [&](const std::wstring& property) {
            if (property == L"SerialNumber") {
                return WMIVariant(record.m_serial);  // the disk's one reading, for every query
            }
            if (property == L"Model") {
                return disk->Value("device/model");
            }
            // MediaType. The sys/block entry links into the device tree, whose
            // path names the bus the disk hangs on.
            std::string removable;
            if (disk->Text("removable", removable) == eSysFileResult::Read && removable == "1") {
                return WMIVariant::String(L"Removable Media");
            }
            if (record.m_strDevicePath.find("/usb") != std::string::npos) {
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
