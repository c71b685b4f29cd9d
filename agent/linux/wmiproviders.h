// The Linux sources behind the query classes: every file is read under a system
// root, so a fixture tree can stand for a whole machine.
//
//   Win32_BIOS.SerialNumber             sys/class/dmi/id/product_serial
//   Win32_ComputerSystemProduct.UUID    sys/class/dmi/id/product_uuid, in upper case
//   Win32_ComputerSystem.Model          sys/class/dmi/id/product_name
//   Win32_ComputerSystem.DNSHostName    the first label of the host name
//   Win32_ComputerSystem.Domain         the rest of the host name when it holds a dot,
//                                       else the domain part of the canonical name, ""
//                                       if none
//   Win32_OperatingSystem.Caption       PRETTY_NAME of etc/os-release (usr/lib/os-release)
//   Win32_OperatingSystem.Version       VERSION_ID, or etc/debian_version when it is a
//                                       more precise point release of it; a version
//                                       of one number gets a dot ("40" gives "40.")
//   Win32_OperatingSystem.BuildNumber   BUILD_ID, else proc/sys/kernel/osrelease
//   Win32_OperatingSystem.KernelRelease proc/sys/kernel/osrelease
//   Win32_OperatingSystem.OSArchitecture proc/sys/kernel/arch (uname on the live root)
//   Win32_OperatingSystem.OSProductSuite, ProductType  0 and 1
//   Win32_OperatingSystem.SystemDrive   "/"
//   Win32_Volume.DeviceID, DriveLetter  \\?\Volume{<uuid>}\ and "/" for the root file
//                                       system: proc/self/mountinfo, dev/disk/by-uuid,
//                                       else the superblock on the device node
//   Win32_DiskDrive.*                   sys/block/<dev>, ordered by place in the
//                                       device tree (disktopology.h), hidden paths,
//                                       optical drives and non-drives skipped, one
//                                       per wwid (the serial when none); the serial
//                                       once: serial, device/serial, device/vpd_pg80
//                                       or the USB device's; blanks are no serial;
//                                       device/model; removable, the USB bus
//
// A value is a file's text without its final line feed, decoded as UTF-8 with
// each invalid byte read as U+FFFD (one warning names the file). A missing file
// gives a NULL value; a class whose source is missing gives no objects.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/linux/wmiinterface.h"

namespace vorn {

class IHostNameSource;

enum class eSysFileResult { Read, Absent, Unreadable };

// Reads root/relativePath into 'bytes' as it is (at most 64 KiB). Absent
// covers ENOENT and ENOTDIR, and the errors of a sysfs attribute without a
// value (ENXIO, ENODEV, EINVAL, ENODATA); any other failure is Unreadable and logged as a
// warning with the path and errno text (sysfs DMI serials are root-only).
eSysFileResult ReadSysBytes(const std::string& root, const std::string& relativePath,
                            std::string& bytes);

// ReadSysBytes of root/directory/name, opening 'name' relative to the open
// 'directoryFd' (AT_FDCWD: by its whole path). 'directory' ends in '/' or is
// empty; it and 'root' name the file in warnings.
eSysFileResult ReadSysBytesAt(int directoryFd, const std::string& root,
                              const std::string& directory, const std::string& name,
                              std::string& bytes);

// ReadSysBytes, dropping one final line feed.
eSysFileResult ReadSysFile(const std::string& root, const std::string& relativePath,
                           std::string& text);

// Decodes 'bytes' read from root/relativePath as UTF-8, each invalid byte read
// as U+FFFD; when any is, one warning names the file.
std::wstring DecodeSystemText(const std::string& bytes, const std::string& root,
                              const std::string& relativePath);

// ReadSysFile, then DecodeSystemText.
eSysFileResult ReadSysText(const std::string& root, const std::string& relativePath,
                           std::wstring& text);

// The serial number of a SCSI unit serial number page (VPD page 0x80: byte 1
// the page code, bytes 2-3 the length, the serial from byte 4), without its
// padding blanks and NULs. False for another page or a blank serial.
bool ParseUnitSerialPage(const std::string& page, std::string& serial);

// Kernel device names in the kernel's own order: digit runs by value
// ("nvme2n1" before "nvme10n1"), letter indexes of a family by length
// ("sdz" before "sdaa").
bool NaturalNameLess(const std::string& a, const std::string& b);

// KEY=VALUE pairs of an os-release text. Quoted values lose their quotes and
// backslash escapes; lines that do not parse (garbage, an unterminated quote
// of a truncated file) are skipped.
std::map<std::string, std::string> ParseOsRelease(const std::string& text);

// The version to report: VERSION_ID, replaced by the debian_version text when
// that is a numeric point release of it ("12" and "12.5" give "12.5").
std::string PreciseVersion(const std::string& versionId, const std::string& debianVersion);

// "64-bit" for a 64-bit machine name (x86_64, aarch64, s390x, ...), else "32-bit".
std::string ArchitectureText(const std::string& machine);

// The root file system's entry of a mountinfo text (the last one mounted on
// "/"): its "major:minor" and its source device. False when there is none.
bool FindRootMount(const std::string& mountinfo, std::string& majorMinor, std::string& source);

struct WMIClassSchema {
    std::wstring m_strName;                  // canonical spelling
    std::vector<std::wstring> m_properties;  // in the order the class reports them
};

class CWMISystemSource {
public:
    CWMISystemSource(std::string sysRoot, std::shared_ptr<IHostNameSource> hostNames);

    // The class of that name (ASCII case ignored), or nullptr when unknown.
    static const WMIClassSchema* FindClass(const std::wstring& name);

    ~CWMISystemSource();
    CWMISystemSource(const CWMISystemSource&) = delete;
    CWMISystemSource& operator=(const CWMISystemSource&) = delete;

    // Every object of the class, each holding the 'wanted' properties (names
    // of the schema) in the class's order.
    std::vector<WMIObject> Enumerate(const WMIClassSchema& schema,
                                     const std::vector<std::wstring>& wanted);

    // From BeginCollection to EndCollection the queries of one collection
    // read each shared source once: the os-release file, the kernel release,
    // the host name, the list of disks and their serials. The canonical-name
    // lookup starts at BeginCollection and runs while the rest is read.
    // Outside a collection every query reads afresh, and so does the next
    // collection.
    void BeginCollection();
    void EndCollection();

private:
    struct Collection;
    struct DiskRecord;

    std::vector<WMIObject> bios(const std::vector<std::wstring>& wanted) const;
    std::vector<WMIObject> product(const std::vector<std::wstring>& wanted) const;
    std::vector<WMIObject> computerSystem(const std::vector<std::wstring>& wanted);
    std::vector<WMIObject> operatingSystem(const std::vector<std::wstring>& wanted);
    std::vector<WMIObject> volumes(const std::vector<std::wstring>& wanted) const;
    std::vector<WMIObject> diskDrives(const std::vector<std::wstring>& wanted);

    // The sources a collection shares, read through its memory when one runs.
    bool hostName(std::string& name);
    bool canonicalName(const std::string& host, std::string& canonical);
    bool osRelease(std::map<std::string, std::string>& release);
    bool kernelRelease(std::wstring& kernel);
    std::vector<DiskRecord> listDisks() const;

    // A file's text as a string variant, NULL when the file cannot be read.
    WMIVariant fileValue(const std::string& relativePath) const;
    class DiskDirectory;
    WMIVariant diskSerial(const DiskDirectory& disk, const std::string& devicePath) const;
    WMIVariant usbSerial(const std::string& devicePath) const;
    std::string rootFileSystemUUID() const;

    std::string m_strRoot;
    std::shared_ptr<IHostNameSource> m_spHostNames;
    std::unique_ptr<Collection> m_pCollection;  // null outside a collection
};

}  // namespace vorn
