#include "agent/siblingproducts.h"

#include <sys/stat.h>

#include <cerrno>

#include "common/registrykey.h"
#include "common/vornlogger.h"
#include "common/vornutils.h"

namespace vorn {

const wchar_t* const g_wszOXAKey = L"SOFTWARE\\Brevane Protect\\";
const wchar_t* const g_wszOXAValueName = L"guid";
const wchar_t* const g_wszDeviceDetailsKey =
    L"Software\\Zanto\\Zanto Marovellin Roaming Client\\DeviceDetails";
const std::wstring g_wstrDeviceDetailValueNames[3] = {L"Sid", L"DigitalProductId",
                                                      L"DigitalProductId4"};
const std::wstring g_wstrNonceValueName = L"Nonce";
const char* const g_szMarovellinMarkers[2] = {"opt/zanto/marovellin/bin/mvlinkd",
                                              "usr/lib/zanto/marovellin/mvlinkd"};

bool IsMarovellinInstalled(const std::string& sysRoot) {
    for (const char* marker : g_szMarovellinMarkers) {
        const std::string path =
            (sysRoot.empty() || sysRoot.back() == '/') ? sysRoot + marker : sysRoot + "/" + marker;
        struct stat info {};
        if (stat(path.c_str(), &info) == 0 || (errno != ENOENT && errno != ENOTDIR)) {
            return true;
        }
    }
    return false;
}

VORN_STATUS GetBinaryRegistryKey(const wchar_t* subKey, const wchar_t* valueName, bool view64,
                                 std::vector<unsigned char>& bytes) {
    bytes.clear();
    CRegistryKey key;
    if (!key.Open(subKey, view64)) {
        errno = ENOENT;
        VORN_LOG_ERRNO(CVORNLogger::kError, "RegOpenKeyEx failed");
        return VORN_FAILED;
    }
    const RegistryValue* value = key.Find(valueName);
    if (value == nullptr || value->type != REG_BINARY) {
        errno = value == nullptr ? ENOENT : EINVAL;
        VORN_LOG_ERRNO(CVORNLogger::kError, "QueryBinaryValue failed");
        return VORN_FAILED;
    }
    if (value->data.empty()) {
        VORN_LOG_DEBUG("CRegKey::QueryBinaryValue returned zero value size");
        return VORN_FAILED;
    }
    bytes = value->data;
    return VORN_OK;
}

VORN_STATUS getDeviceDetailsFromCache(std::map<std::wstring, std::vector<unsigned char>>& details) {
    details.clear();
    VORN_LOG_VERBOSE("Retrieving device details from cache");
    for (const std::wstring& name : g_wstrDeviceDetailValueNames) {
        std::vector<unsigned char> bytes;
        if (GetBinaryRegistryKey(g_wszDeviceDetailsKey, name.c_str(), false, bytes) == VORN_OK) {
            details[name] = std::move(bytes);
        } else if (name == g_wstrDeviceDetailValueNames[0]) {
            return VORN_FAILED;
        }
    }
    return VORN_OK;
}

bool getUDIDNonceFromRegistry(std::vector<unsigned char>& bytes) {
    CRegistryKey key;
    if (!key.Open(g_wszDeviceDetailsKey, false)) {
        VORN_LOG_ERROR("Failed to Open Registry keys");
        return false;
    }
    const RegistryValue* value = key.Find(g_wstrNonceValueName);
    // The value is read into a 4-byte integer: a larger value does not fit,
    // and any type but REG_DWORD is not a nonce.
    if (value == nullptr || value->type != REG_DWORD || value->data.size() != 4) {
        return false;
    }
    bytes.insert(bytes.begin(), value->data.begin(), value->data.end());
    return true;
}

VORN_STATUS getDeviceID(std::vector<unsigned char>& bytes) {
    bytes.clear();
    std::map<std::wstring, std::vector<unsigned char>> details;
    if (getDeviceDetailsFromCache(details) != VORN_OK) {
        VORN_LOG_ERROR("Failed to retrieve device details from cache");
        return VORN_FAILED;
    }
    // Each part goes in front of the previous ones, so the digest input reads
    // DigitalProductId4, DigitalProductId, Sid, and the nonce goes before all.
    for (const std::wstring& name : g_wstrDeviceDetailValueNames) {
        auto found = details.find(name);
        if (found != details.end()) {
            bytes.insert(bytes.begin(), found->second.begin(), found->second.end());
        }
    }
    (void)getUDIDNonceFromRegistry(bytes);
    return VORN_OK;
}

}  // namespace vorn
