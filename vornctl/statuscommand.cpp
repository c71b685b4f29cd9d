#include <cjson/cJSON.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "agent/vornstorereaderwriter.h"
#include "common/textescape.h"
#include "common/vornpath.h"
#include "common/vornstorefileimpl.h"
#include "vornctl/commands.h"
#include "vornctl/devicekeystatus.h"

namespace vorn::ctl {

namespace {

const char kStatusUsage[] =
    "Usage: vornctl status [--json] [--config-path DIRECTORY]\n"
    "\n"
    "Reads the agent's identity store (data directory from the registry value DataDir) with the\n"
    "same locks the agent uses and shows the VORN id, whether a token and an instance key are\n"
    "held (never their values) and the cloud's retry deadline, if any. The four values are read\n"
    "under one lock, so they belong together. Text from the store is shown escaped.\n"
    "With \"device_key\": \"tpm\" in id.json (or a device key file present) it also shows\n"
    "whether the identity is bound to the TPM-held key and that key's fingerprint (SHA-256 of\n"
    "its public key). --config-path names the agent's configuration directory (default\n"
    "/etc/vorn), where id.json says whether the device key is on.\n"
    "Exit status: 0 when an identity (VORN id and token) is held, 1 when not, 77 when the store\n"
    "cannot be read for lack of permission (run as root).\n";

constexpr int kExitPermissionDenied = 77;

bool IsPermissionError(int error) {
    return error == EACCES || error == EPERM;
}

int PermissionDenied(const std::string& path) {
    fprintf(stderr, "vornctl status: %s: permission denied: run as root\n",
            vorn::EscapeUntrusted(path).c_str());
    return kExitPermissionDenied;
}

// The stored "retry-after" text as the agent reads it: a leading decimal
// number, 0 when there is none.
int64_t RetryAfterOf(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const long long value = std::strtoll(begin, &end, 10);
    return end == begin ? 0 : static_cast<int64_t>(value);
}

std::string IsoTime(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm utc {};
    char text[32] = "?";
    if (gmtime_r(&t, &utc) != nullptr) {
        strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    }
    return text;
}

}  // namespace

int RunStatus(const std::vector<std::string>& args) {
    bool json = false;
    std::string configPath = "/etc/vorn";
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--config-path" && i + 1 < args.size()) {
            configPath = args[++i];
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            fputs(kStatusUsage, stdout);
            return 0;
        }
        if (arg == "--json") {
            json = true;
            continue;
        }
        fprintf(stderr, "vornctl status: unexpected argument '%s'\n\n%s", arg.c_str(),
                kStatusUsage);
        return kExitUsage;
    }

    std::string dataDirectory;
    if (GetVORNDirectoryPath(dataDirectory) != VORN_OK) {
        fprintf(stderr,
                "vornctl status: the data directory is not configured (registry value DataDir "
                "under HKEY_LOCAL_MACHINE\\SOFTWARE\\Zanto\\Quoralis\\Tessellink\\VORN in "
                "$VORN_REGISTRY_DIR, default /etc/vorn/registry.d)\n");
        return 1;
    }
    const std::string storePath = dataDirectory + "vornstore.json";
    struct stat st {};
    const bool storeExists = stat(storePath.c_str(), &st) == 0;
    if (!storeExists && IsPermissionError(errno)) {
        // The data directory itself is closed to this user.
        return PermissionDenied(storePath);
    }

    std::string vornId, token, instanceKey;
    int64_t retryAfter = 0;
    if (storeExists) {
        CVORNStoreFileImpl store(CVORNStoreFileImpl::eOpenReadOnly);
        (void)store.Initialize(storePath);
        const std::vector<std::string> keys = {
            CVORNStoreReaderWriter::pszKeyVorn, CVORNStoreReaderWriter::pszKeyToken,
            CVORNStoreReaderWriter::pszKeyInstanceKey, CVORNStoreReaderWriter::pszKeyRetryAfter};
        std::vector<std::string> values;
        int openError = 0;
        if (store.ReadKeyValues(keys, values, openError) == VORN_OK) {
            vornId = values[0];
            token = values[1];
            instanceKey = values[2];
            retryAfter = RetryAfterOf(values[3]);
        } else if (IsPermissionError(openError)) {
            return PermissionDenied(storePath);
        }
    }
    const bool held = !vornId.empty() && !token.empty();
    const DeviceKeyStatus deviceKey = ReadDeviceKeyStatus(dataDirectory, configPath);
    if (deviceKey.m_bPermissionDenied) {
        return PermissionDenied(deviceKey.m_strKeyPath);
    }
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();

    if (json) {
        std::unique_ptr<cJSON, decltype(&cJSON_Delete)> doc(cJSON_CreateObject(), cJSON_Delete);
        cJSON_AddStringToObject(doc.get(), "store", storePath.c_str());
        // The library escapes control characters, but bytes that are not
        // UTF-8 would pass raw; such a value is shown in its escaped form.
        cJSON_AddBoolToObject(doc.get(), "store_exists", storeExists);
        cJSON_AddBoolToObject(doc.get(), "identity_held", held);
        if (vornId.empty()) {
            cJSON_AddNullToObject(doc.get(), "vorn");
        } else {
            cJSON_AddStringToObject(
                doc.get(), "vorn",
                (IsPrintableUTF8(vornId) ? vornId : EscapeUntrusted(vornId)).c_str());
        }
        cJSON_AddBoolToObject(doc.get(), "token_held", !token.empty());
        cJSON_AddBoolToObject(doc.get(), "instance_key_held", !instanceKey.empty());
        if (retryAfter > 0) {
            cJSON_AddNumberToObject(doc.get(), "retry_after", static_cast<double>(retryAfter));
            cJSON_AddBoolToObject(doc.get(), "rate_limited", retryAfter > now);
        } else {
            cJSON_AddNullToObject(doc.get(), "retry_after");
            cJSON_AddBoolToObject(doc.get(), "rate_limited", false);
        }
        AddDeviceKeyStatus(deviceKey, doc.get());
        std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_Print(doc.get()), cJSON_free);
        puts(text ? MakeJsonVisible(text.get()).c_str() : "{}");
        return held ? 0 : 1;
    }

    printf("store:         %s%s\n", EscapeUntrusted(storePath).c_str(),
           storeExists ? "" : " (does not exist)");
    printf("identity:      %s\n", held ? "held" : "not held");
    printf("vorn id:       %s\n", vornId.empty() ? "(none)" : EscapeUntrusted(vornId).c_str());
    printf("token:         %s\n", token.empty() ? "not held" : "held");
    printf("instance key:  %s\n", instanceKey.empty() ? "not held" : "held");
    if (retryAfter > now) {
        printf("retry after:   %s (in %lld s; the agent waits until then)\n",
               IsoTime(retryAfter).c_str(), static_cast<long long>(retryAfter - now));
    } else if (retryAfter > 0) {
        printf("retry after:   %s (passed)\n", IsoTime(retryAfter).c_str());
    } else {
        printf("retry after:   none\n");
    }
    fputs(DeviceKeyStatusLine(deviceKey).c_str(), stdout);
    return held ? 0 : 1;
}

}  // namespace vorn::ctl
