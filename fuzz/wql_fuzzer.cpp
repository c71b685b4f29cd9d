// WQL query texts against the workstation fixture machine. The first byte
// chooses how the rest becomes wide text (UTF-8 decoding or byte per
// character) and whether the property list is given by the caller.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <list>
#include <memory>
#include <string>

#include "agent/linux/hostnamesource.h"
#include "agent/linux/wmiinterface.h"
#include "common/vornutils.h"

namespace {

class FixedHostNames : public vorn::IHostNameSource {
public:
    bool GetHostName(std::string& name) override {
        name = "ws";
        return true;
    }
    bool GetCanonicalName(const std::string&, std::string& canonical) override {
        canonical = "ws.example.org";
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static WMIInterface wmi(VORN_FUZZ_DATA_DIR "/machines/workstation",
                            std::make_shared<FixedHostNames>());
    if (size == 0) {
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::wstring query =
        (data[0] & 1) != 0 ? vorn::UTF8ToWide(text) : std::wstring(text.begin(), text.end());
    std::list<std::wstring> names;
    if ((data[0] & 2) != 0) {
        names = {L"Caption", L"SerialNumber"};
    }
    const size_t given = names.size();
    std::list<WMIRow> rows;
    if (wmi.RunWMIQuery(query, names, rows) == vorn::VORN_OK) {
        // Every row holds one value per selected property.
        for (const WMIRow& row : rows) {
            if (row.size() != names.size()) {
                std::abort();
            }
        }
    } else if (given == 0 && !rows.empty()) {
        std::abort();
    }
    return 0;
}
