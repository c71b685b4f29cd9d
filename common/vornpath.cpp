#include "common/vornpath.h"

#include <cstdint>
#include <cstdio>
#include <utility>

#include "common/helpermessages.h"
#include "common/textescape.h"
#include "common/vornlogger.h"
#include "common/vornutils.h"

namespace vorn {

namespace {

constexpr uint32_t kDataDirBufferSize = 4096;

std::string& ConfigDirectory() {
    static std::string directory;
    return directory;
}

}  // namespace

VORN_STATUS GetVORNDirectoryPath(std::string& directory) {
    unsigned char buffer[kDataDirBufferSize] = {};
    uint32_t length = sizeof buffer;
    uint32_t type = REG_NONE;
    const VORN_STATUS status = GetRegistryValue(RegistryRoot::LocalMachine, kVORNRegistryKey,
                                                kVORNDataDirValue, buffer, &length, &type, true);
    if (status != VORN_OK || type != REG_SZ) {
        HelperMessage("Failed to get Program Data path\n");
        return VORN_FAILED;
    }
    std::string converted = WideToUTF8(UTF16LEToWide(buffer, length));
    if (converted.empty()) {
        HelperMessage("Failed to get Program Data path\n");
        return VORN_FAILED;
    }
    directory = std::move(converted);
    return VORN_OK;
}

VORN_STATUS SetVORNConfigDirectory(const std::string& directory) {
    VORN_LOG_DEBUG("VORN Config file path is [%s]", EscapeUntrusted(directory).c_str());
    std::string& current = ConfigDirectory();
    if (&current != &directory) {
        current = directory;
    }
    return VORN_OK;
}

VORN_STATUS SetVORNConfigDirectory(const std::wstring& directory) {
    return SetVORNConfigDirectory(WideToUTF8(directory));
}

std::string GetVORNConfigDirectory() {
    return ConfigDirectory();
}

}  // namespace vorn
