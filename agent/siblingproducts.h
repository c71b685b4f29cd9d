// Identifiers that two sibling products keep on the machine: the VPN client's
// device details (from which its device identifier is derived) and its
// installation markers. The endpoint-protection GUID is a plain string read.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/vornstatus.h"

namespace vorn {

// Endpoint-protection product: value "guid" (REG_SZ), 64-bit view first.
extern const wchar_t* const g_wszOXAKey;
extern const wchar_t* const g_wszOXAValueName;
// VPN client device details (REG_BINARY) and nonce (REG_DWORD), 32-bit view.
extern const wchar_t* const g_wszDeviceDetailsKey;
// "Sid" (mandatory), "DigitalProductId", "DigitalProductId4".
extern const std::wstring g_wstrDeviceDetailValueNames[3];
extern const std::wstring g_wstrNonceValueName;

// The VPN client's installation markers, relative to the system root, in the
// order they are tested.
extern const char* const g_szMarovellinMarkers[2];

// Whether the VPN client is installed under 'sysRoot': a marker exists, or
// testing it fails with anything but ENOENT/ENOTDIR (EACCES, for instance).
bool IsMarovellinInstalled(const std::string& sysRoot);

// Empties 'bytes', then fills it with the REG_BINARY value under
// HKEY_LOCAL_MACHINE\subKey in the given view. VORN_FAILED (logged) when the
// key or value is missing, the value is not binary, or it is empty.
VORN_STATUS GetBinaryRegistryKey(const wchar_t* subKey, const wchar_t* valueName, bool view64,
                                 std::vector<unsigned char>& bytes);

// Fills 'details' with the device-detail values that can be read. VORN_FAILED
// when "Sid" cannot; the other two are optional.
VORN_STATUS getDeviceDetailsFromCache(std::map<std::wstring, std::vector<unsigned char>>& details);

// Inserts the 32-bit "Nonce" (REG_DWORD), little-endian, at the front of
// 'bytes'. False when the key cannot be opened or the value is not a DWORD.
bool getUDIDNonceFromRegistry(std::vector<unsigned char>& bytes);

// The digest input: nonce (LE), DigitalProductId4, DigitalProductId, Sid, each
// when present. VORN_FAILED when the device details cannot be read.
VORN_STATUS getDeviceID(std::vector<unsigned char>& bytes);

}  // namespace vorn
