// .reg hive files merged into an in-memory hive, then looked up.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/registryhive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    vorn::CRegistryHive hive;
    std::vector<std::string> errors;
    hive.Merge(text, "fuzz.reg", errors);
    // A second merge over the same hive exercises replacement and deletion.
    hive.Merge(text, "again.reg", errors);
    (void)hive.HasKey("HKEY_LOCAL_MACHINE\\SOFTWARE");
    (void)hive.Find("HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor", "Name");
    (void)vorn::CRegistryHive::NormaliseKey(text.substr(0, 256));
    return 0;
}
