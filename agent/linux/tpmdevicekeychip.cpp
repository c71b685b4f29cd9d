#include "agent/linux/tpmdevicekeychip.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "agent/linux/tpm/tpmmoduleabi.h"

#ifndef VORN_TPM_MODULE_INSTALL_DIR
#define VORN_TPM_MODULE_INSTALL_DIR "/usr/lib/vorn"
#endif

namespace vorn {

namespace {

constexpr const char* kModuleName = "vorn-tpm.so";
constexpr size_t kErrorSize = 512;

// The module handle outlives every session made through it.
struct ModuleHandle {
    void* handle = nullptr;
    const vorn_tpm_module_api* api = nullptr;
    ~ModuleHandle() {
        if (handle != nullptr) {
            dlclose(handle);
        }
    }
};

class TpmSession : public IDeviceKeySession {
public:
    TpmSession(std::shared_ptr<ModuleHandle> module, vorn_tpm_session* session)
        : m_module(std::move(module)), m_session(session) {}
    ~TpmSession() override { m_module->api->close(m_session); }
    TpmSession(const TpmSession&) = delete;
    TpmSession& operator=(const TpmSession&) = delete;

    LoadResult Load(const DeviceKeyBlob& blob, std::string& spki, std::string& error) override {
        uint8_t out[VORN_TPM_MAX_SPKI];
        size_t outSize = 0;
        char text[kErrorSize] = "";
        const int result =
            m_module->api->load(m_session, Bytes(blob.m_strPublicPart), blob.m_strPublicPart.size(),
                                Bytes(blob.m_strPrivatePart), blob.m_strPrivatePart.size(), out,
                                &outSize, text, sizeof text);
        if (result != 0) {
            error = text;
            return result == -1 ? LoadResult::kRefused : LoadResult::kFailed;
        }
        spki.assign(reinterpret_cast<const char*>(out), outSize);
        return LoadResult::kLoaded;
    }

    bool Create(DeviceKeyBlob& blob, std::string& error) override {
        uint8_t publicPart[VORN_TPM_MAX_BLOB_PART];
        uint8_t privatePart[VORN_TPM_MAX_BLOB_PART];
        uint8_t spki[VORN_TPM_MAX_SPKI];
        size_t publicSize = 0, privateSize = 0, spkiSize = 0;
        char text[kErrorSize] = "";
        if (m_module->api->create(m_session, publicPart, &publicSize, privatePart, &privateSize,
                                  spki, &spkiSize, text, sizeof text) != 0) {
            error = text;
            return false;
        }
        blob.m_strPublicPart.assign(reinterpret_cast<const char*>(publicPart), publicSize);
        blob.m_strPrivatePart.assign(reinterpret_cast<const char*>(privatePart), privateSize);
        blob.m_strSpki.assign(reinterpret_cast<const char*>(spki), spkiSize);
        return true;
    }

    bool Sign(const unsigned char (&digest)[32], std::string& signature,
              std::string& error) override {
        uint8_t out[VORN_TPM_MAX_SIGNATURE];
        size_t outSize = 0;
        char text[kErrorSize] = "";
        if (m_module->api->sign(m_session, digest, out, &outSize, text, sizeof text) != 0) {
            error = text;
            return false;
        }
        signature.assign(reinterpret_cast<const char*>(out), outSize);
        return true;
    }

private:
    static const uint8_t* Bytes(const std::string& s) {
        return reinterpret_cast<const uint8_t*>(s.data());
    }

    std::shared_ptr<ModuleHandle> m_module;
    vorn_tpm_session* m_session;
};

class TpmChip : public IDeviceKeyChip {
public:
    TpmChip(std::shared_ptr<ModuleHandle> module, std::string tcti, int timeoutMs)
        : m_module(std::move(module)), m_strTcti(std::move(tcti)), m_nTimeoutMs(timeoutMs) {}

    std::string Name() const override { return m_strTcti; }

    std::unique_ptr<IDeviceKeySession> Open(std::string& error) override {
        char text[kErrorSize] = "";
        vorn_tpm_session* session =
            m_module->api->open(m_strTcti.c_str(), m_nTimeoutMs, text, sizeof text);
        if (session == nullptr) {
            error = text;
            return nullptr;
        }
        return std::make_unique<TpmSession>(m_module, session);
    }

private:
    std::shared_ptr<ModuleHandle> m_module;
    std::string m_strTcti;
    int m_nTimeoutMs;
};

}  // namespace

std::string TpmModulePath() {
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string path(exe, static_cast<size_t>(n));
        path.erase(path.rfind('/') + 1);
        path += kModuleName;
        if (access(path.c_str(), F_OK) == 0) {
            return path;
        }
    }
    return std::string(VORN_TPM_MODULE_INSTALL_DIR) + "/" + kModuleName;
}

std::unique_ptr<IDeviceKeyChip> CreateTpmDeviceKeyChip(const std::string& tcti,
                                                       int commandTimeoutMs, std::string& error) {
    const std::string path = TpmModulePath();
    auto module = std::make_shared<ModuleHandle>();
    module->handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module->handle == nullptr) {
        const char* why = dlerror();
        error = "cannot load the TPM module " + path + ": " + (why != nullptr ? why : "unknown");
        return nullptr;
    }
    const auto entry =
        reinterpret_cast<vorn_tpm_module_fn>(dlsym(module->handle, VORN_TPM_MODULE_ENTRY));
    module->api = entry != nullptr ? entry() : nullptr;
    if (module->api == nullptr || module->api->abi_version != VORN_TPM_ABI_VERSION) {
        error = "the TPM module " + path + " is of another version";
        return nullptr;
    }
    return std::make_unique<TpmChip>(std::move(module), tcti, commandTimeoutMs);
}

}  // namespace vorn
