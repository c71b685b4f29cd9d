#include "agent/linux/superblockprobe.h"

#include <blkid.h>
#include <dlfcn.h>

#include <mutex>

#include "common/textescape.h"
#include "common/vornlogger.h"

namespace vorn {

namespace {

constexpr const char* kLibraryName = "libblkid.so.1";

// The entry points the probe calls, bound once from the loaded library.
struct ProbeLibrary {
    decltype(&blkid_new_probe_from_filename) newProbe = nullptr;
    decltype(&blkid_probe_enable_superblocks) enableSuperblocks = nullptr;
    decltype(&blkid_probe_set_superblocks_flags) setSuperblocksFlags = nullptr;
    decltype(&blkid_do_safeprobe) safeProbe = nullptr;
    decltype(&blkid_probe_lookup_value) lookupValue = nullptr;
    decltype(&blkid_free_probe) freeProbe = nullptr;
};

struct LoadState {
    std::mutex mutex;
    std::string name = kLibraryName;  // guarded by mutex
    bool tried = false;               // guarded by mutex
    ProbeLibrary library;             // guarded by mutex until tried, then read-only
    bool loaded = false;              // guarded by mutex
};

LoadState& State() {
    static LoadState state;
    return state;
}

template <typename Function>
bool Bind(void* handle, const char* symbol, Function& function) {
    function = reinterpret_cast<Function>(dlsym(handle, symbol));
    return function != nullptr;
}

// The library, loaded at the first call and kept for the life of the process
// (nullptr when it cannot be loaded; not retried).
const ProbeLibrary* Library() {
    LoadState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.tried) {
        state.tried = true;
        void* handle = dlopen(state.name.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* error = dlerror();
            VORN_LOG_DEBUG("Cannot load the block-device probing library: %s",
                           EscapeUntrusted(error != nullptr ? error : "").c_str());
            return nullptr;
        }
        ProbeLibrary& library = state.library;
        state.loaded =
            Bind(handle, "blkid_new_probe_from_filename", library.newProbe) &&
            Bind(handle, "blkid_probe_enable_superblocks", library.enableSuperblocks) &&
            Bind(handle, "blkid_probe_set_superblocks_flags", library.setSuperblocksFlags) &&
            Bind(handle, "blkid_do_safeprobe", library.safeProbe) &&
            Bind(handle, "blkid_probe_lookup_value", library.lookupValue) &&
            Bind(handle, "blkid_free_probe", library.freeProbe);
        if (!state.loaded) {
            VORN_LOG_DEBUG("The block-device probing library lacks an entry point");
            dlclose(handle);
        }
    }
    return state.loaded ? &state.library : nullptr;
}

}  // namespace

std::string ProbeLibraryName() {
    LoadState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.name;
}

void SetProbeLibraryNameForTest(const std::string& name) {
    LoadState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.name = name;
    state.tried = false;
    state.loaded = false;
}

std::string SuperblockUUID(const std::string& path) {
    const ProbeLibrary* library = Library();
    if (library == nullptr) {
        VORN_LOG_DEBUG("Cannot probe %s for a file system", EscapeUntrusted(path).c_str());
        return {};
    }
    blkid_probe probe = library->newProbe(path.c_str());
    if (probe == nullptr) {
        VORN_LOG_DEBUG("Cannot probe %s for a file system", EscapeUntrusted(path).c_str());
        return {};
    }
    std::string uuid;
    library->enableSuperblocks(probe, 1);
    library->setSuperblocksFlags(probe, BLKID_SUBLKS_UUID | BLKID_SUBLKS_TYPE);
    const char* value = nullptr;
    if (library->safeProbe(probe) == 0 &&
        library->lookupValue(probe, "UUID", &value, nullptr) == 0 && value != nullptr) {
        uuid = value;
    } else {
        VORN_LOG_DEBUG("No file system UUID on %s", EscapeUntrusted(path).c_str());
    }
    library->freeProbe(probe);
    return uuid;
}

}  // namespace vorn
