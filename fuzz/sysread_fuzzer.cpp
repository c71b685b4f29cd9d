// The Linux system sources: os-release, debian_version, mountinfo and sysfs
// value files. The pure parsers get the raw input; then the same bytes, cut
// into pieces, become the files of a scratch system root and every query
// class is enumerated over it.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <string>

#include "agent/linux/hostnamesource.h"
#include "agent/linux/wmiinterface.h"
#include "agent/linux/wmiproviders.h"
#include "fuzz/fuzzsupport.h"

namespace {

class FixedHostNames : public vorn::IHostNameSource {
public:
    bool GetHostName(std::string& name) override {
        name = "host";
        return true;
    }
    bool GetCanonicalName(const std::string&, std::string& canonical) override {
        canonical = "host.example.org";
        return true;
    }
};

const char* const kFiles[] = {
    "etc/os-release",
    "etc/debian_version",
    "proc/self/mountinfo",
    "proc/sys/kernel/osrelease",
    "proc/sys/kernel/arch",
    "sys/class/dmi/id/product_serial",
    "sys/class/dmi/id/product_uuid",
    "sys/class/dmi/id/product_name",
    "sys/block/sda/device/serial",
    "sys/block/sda/device/model",
    "sys/block/sda/removable",
    "sys/block/sda/dev",
    "dev/disk/by-uuid/name",
};

const wchar_t* const kClasses[] = {
    L"Win32_BIOS",           L"Win32_ComputerSystemProduct",
    L"Win32_ComputerSystem", L"Win32_OperatingSystem",
    L"Win32_Volume",         L"Win32_DiskDrive",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static vorn::fuzz::ScratchDir root;
    static WMIInterface wmi(root.path(), std::make_shared<FixedHostNames>());

    const std::string raw(reinterpret_cast<const char*>(data), size);
    (void)vorn::ParseOsRelease(raw);
    std::string majorMinor;
    std::string source;
    (void)vorn::FindRootMount(raw, majorMinor, source);
    (void)vorn::ArchitectureText(raw);
    const size_t half = size / 2;
    (void)vorn::PreciseVersion(raw.substr(0, half), raw.substr(half));

    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(root.path(), ignored)) {
        std::filesystem::remove_all(entry.path(), ignored);
    }
    FuzzedDataProvider provider(data, size);
    for (const char* file : kFiles) {
        if (provider.remaining_bytes() == 0) {
            break;
        }
        if (provider.ConsumeBool()) {
            vorn::fuzz::WriteWholeFile(root.file(file), provider.ConsumeRandomLengthString(512));
        }
    }
    for (const wchar_t* cls : kClasses) {
        std::list<std::wstring> names;
        std::list<WMIRow> rows;
        (void)wmi.RunWMIQuery(std::wstring(L"SELECT * FROM ") + cls, names, rows);
    }
    return 0;
}
