// The registry read on Linux: values come from the regedit-format hive files in
// VORN_REGISTRY_DIR (default /etc/vorn/registry.d), as they are on disk at every
// call (common/linux/registrycache.h keeps the parse while they do not change).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/helpermessages.h"
#include "common/linux/registrycache.h"
#include "common/registryhive.h"
#include "common/registrykey.h"
#include "common/vornutils.h"

namespace vorn {

namespace {

constexpr const char* kDefaultRegistryDir = "/etc/vorn/registry.d";

std::string RegistryDirectory() {
    const char* dir = getenv("VORN_REGISTRY_DIR");
    return (dir != nullptr && dir[0] != '\0') ? dir : kDefaultRegistryDir;
}

// The 32-bit view of SOFTWARE\X is SOFTWARE\WOW6432Node\X.
std::string ViewedKey(const std::string& subKey, bool view64) {
    std::string key = CRegistryHive::NormaliseKey(subKey);
    if (!view64) {
        static const std::string kSoftware = "software";
        if (key == kSoftware) {
            key += "\\wow6432node";
        } else if (key.compare(0, kSoftware.size() + 1, kSoftware + "\\") == 0) {
            key.insert(kSoftware.size(), "\\wow6432node");
        }
    }
    return "hkey_local_machine\\" + key;
}

}  // namespace

bool CRegistryKey::Open(const std::wstring& subKey, bool view64) {
    m_spSnapshot = CRegistryReadScope::Read(RegistryDirectory());
    m_strPath = ViewedKey(WideToUTF8(subKey), view64);
    m_bOpen = !subKey.empty() && m_spSnapshot->m_hive.HasKey(m_strPath);
    return m_bOpen;
}

const RegistryValue* CRegistryKey::Find(const std::wstring& valueName) const {
    return m_bOpen ? m_spSnapshot->m_hive.Find(m_strPath, WideToUTF8(valueName)) : nullptr;
}

VORN_STATUS GetRegistryValue(RegistryRoot /*root*/, const std::wstring& subKey,
                             const std::wstring& valueName, unsigned char* buffer, uint32_t* length,
                             uint32_t* type, bool view64) {
    if (buffer == nullptr || length == nullptr || *length == 0) {
        return VORN_INVALID_ARGUMENT;
    }
    CRegistryKey key;
    if (!key.Open(subKey, view64)) {
        HelperMessage("Failed to fetch registry handle.\n");
        return VORN_FAILED;
    }
    const RegistryValue* value = key.Find(valueName);
    if (value == nullptr || value->data.size() > *length) {
        return VORN_FAILED;
    }
    const uint32_t size = static_cast<uint32_t>(value->data.size());
    if (!value->data.empty()) {
        memcpy(buffer, value->data.data(), size);
    }
    if (type != nullptr) {
        *type = value->type;
    }
    if (size < *length) {
        const bool isString =
            value->type == REG_SZ || value->type == REG_EXPAND_SZ || value->type == REG_MULTI_SZ;
        if (isString) {
            buffer[size] = 0;
            *length = size + 1;
        } else {
            *length = size;
        }
        return VORN_OK;
    }
    *length = size + 1;
    return VORN_BUFFER_TOO_SMALL;
}

}  // namespace vorn
