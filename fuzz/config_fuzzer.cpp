// The two configuration files, bs.json and id.json, read from a scratch
// configuration directory. The input is split in two at a random point.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "agent/vornconfig.h"
#include "common/vornpath.h"
#include "common/vornutils.h"
#include "fuzz/fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static vorn::fuzz::ScratchDir dir;
    static const bool configured =
        vorn::SetVORNConfigDirectory(vorn::UTF8ToWide(dir.path())) == vorn::VORN_OK;
    (void)configured;

    FuzzedDataProvider provider(data, size);
    const std::string bootstrap = provider.ConsumeRandomLengthString(size);
    const std::string identity = provider.ConsumeRemainingBytesAsString();
    vorn::fuzz::WriteWholeFile(dir.file("bs.json"), bootstrap);
    vorn::fuzz::WriteWholeFile(dir.file("id.json"), identity);
    vorn::CVORNConfig config;
    (void)config;
    return 0;
}
