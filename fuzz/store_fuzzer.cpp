// Store file text: whatever is on disk is read, then keys are inserted or
// updated through the real file back end. A write that reports success must
// leave a store from which the written value reads back.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/vornstorefileimpl.h"
#include "fuzz/fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static vorn::fuzz::ScratchDir dir;
    static const std::string storePath = dir.file("vorn.json");

    FuzzedDataProvider provider(data, size);
    const std::string key = provider.ConsumeRandomLengthString(64);
    const std::string value = provider.ConsumeRandomLengthString(256);
    const std::string text = provider.ConsumeRemainingBytesAsString();
    vorn::fuzz::WriteWholeFile(storePath, text);

    vorn::CVORNStoreFileImpl store;
    (void)store.Initialize(storePath);
    std::string read;
    (void)store.ReadKeyValue(key, read);
    (void)store.ReadKeyValue("vorn", read);
    if (store.WriteKeyValues({{key, value}, {"vorn_token", value}}) == vorn::VORN_OK) {
        if (store.ReadKeyValue("vorn_token", read) != vorn::VORN_OK || read != value) {
            std::fprintf(stderr, "written value did not read back\n");
            std::abort();
        }
    }
    return 0;
}
