// One key of the registry stand-in, opened in a registry view: the hive as it
// is on disk at Open, and the key's path in that view.
#pragma once

#include <memory>
#include <string>

#include "common/registryhive.h"

namespace vorn {

struct RegistrySnapshot;

class CRegistryKey {
public:
    // Reads the hive as it is on disk now and resolves HKEY_LOCAL_MACHINE\subKey; view64
    // false reads SOFTWARE\X from SOFTWARE\WOW6432Node\X. Returns whether the
    // key exists.
    bool Open(const std::wstring& subKey, bool view64);

    // The value, or nullptr when it does not exist (or the key is not open).
    const RegistryValue* Find(const std::wstring& valueName) const;

private:
    std::shared_ptr<const RegistrySnapshot> m_spSnapshot;
    std::string m_strPath;
    bool m_bOpen = false;
};

}  // namespace vorn
