#include "agent/vornconfig.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "common/textescape.h"
#include "common/vornlogger.h"
#include "common/vornpath.h"

namespace vorn {

namespace {

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

// Configuration files are a few hundred bytes; anything far larger is not one.
constexpr size_t kMaxConfigBytes = 1 << 20;

// A configuration file, its lines joined without their line breaks, and where
// each line starts in the joined text (so a parse error can be placed).
struct ConfigText {
    std::string text;
    std::vector<size_t> lineStarts;
    bool tooLarge = false;
};

// Opens without blocking and insists on a regular file: a FIFO in the file's
// place must not hang the thread that reads the configuration, and a
// directory is not a file that failed to parse.
bool ReadConfigText(const std::string& path, ConfigText& out) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    std::string raw;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        if (raw.size() + static_cast<size_t>(n) > kMaxConfigBytes) {
            out.tooLarge = true;
            break;
        }
        raw.append(buffer, static_cast<size_t>(n));
    }
    close(fd);

    size_t start = 0;
    while (start < raw.size()) {
        size_t end = raw.find('\n', start);
        const size_t next = end == std::string::npos ? raw.size() : end + 1;
        if (end == std::string::npos) {
            end = raw.size();
        }
        if (end > start && raw[end - 1] == '\r') {
            --end;
        }
        out.lineStarts.push_back(out.text.size());
        out.text.append(raw, start, end - start);
        start = next;
    }
    if (out.lineStarts.empty()) {
        out.lineStarts.push_back(0);
    }
    return true;
}

// Reads and parses one file, logging failures on behalf of 'function'. The
// parse error names the position, never the text: the bootstrap file holds
// the installer key.
JsonPtr ReadJsonFile(const std::string& path, const char* function) {
    ConfigText config;
    if (!ReadConfigText(path, config)) {
        VORN_LOG_AS(CVORNLogger::kError, function, "File open failed for %s",
                    EscapeUntrusted(path).c_str());
        return JsonPtr(nullptr, cJSON_Delete);
    }
    if (config.tooLarge) {
        VORN_LOG_AS(CVORNLogger::kError, function, "Couldn't parse json : %s (more than %zu bytes)",
                    EscapeUntrusted(path).c_str(), kMaxConfigBytes);
        return JsonPtr(nullptr, cJSON_Delete);
    }
    const char* errorAt = nullptr;
    JsonPtr json(cJSON_ParseWithLengthOpts(config.text.data(), config.text.size(), &errorAt, false),
                 cJSON_Delete);
    if (!json) {
        size_t offset = 0;
        if (errorAt != nullptr && errorAt >= config.text.data() &&
            errorAt <= config.text.data() + config.text.size()) {
            offset = static_cast<size_t>(errorAt - config.text.data());
        }
        const auto line =
            std::upper_bound(config.lineStarts.begin(), config.lineStarts.end(), offset) - 1;
        VORN_LOG_AS(CVORNLogger::kError, function,
                    "Couldn't parse json : %s (line %zu, column %zu)",
                    EscapeUntrusted(path).c_str(),
                    static_cast<size_t>(line - config.lineStarts.begin()) + 1, offset - *line + 1);
    }
    return json;
}

}  // namespace

CVORNConfig::CVORNConfig() {
    const std::string directory = GetVORNConfigDirectory();
    if (directory.empty()) {
        VORN_LOG_ERROR("Empty Config Directory Path.");
        m_strBootstrapProblem = "no configuration directory (--config-path)";
        return;
    }
    parseBootstrapConfig(directory);
    parseIdentityConfig(directory);
}

void CVORNConfig::parseBootstrapConfig(const std::string& directory) {
    static const logdetail::FunctionName function(__PRETTY_FUNCTION__);
    const std::string path = directory + "/bs.json";
    const std::string shownPath = EscapeUntrusted(path, 512);
    JsonPtr json = ReadJsonFile(path, function.c_str());
    if (!json) {
        m_strBootstrapProblem = shownPath + " cannot be read or is not JSON";
        return;
    }
    const cJSON* id = cJSON_GetObjectItem(json.get(), "id");
    if (id == nullptr) {
        VORN_LOG_WARNING("Empty bootstrap config encountered.");
        m_strBootstrapProblem = shownPath + " has no \"id\" object";
        return;
    }
    struct Key {
        const char* name;
        std::string* field;
        const char* notString;
        const char* missing;
    };
    const Key keys[] = {
        {"business_id", &m_strBusinessId, "Couldn't read business id value from config.",
         "Business id not found in config."},
        {"installer_key", &m_strInstallerKey, "Couldn't read Install key value from config.",
         "Install key not found in config."},
        {"url", &m_strUrl, "Couldn't read URL value from config.", "URL not found in config."},
    };
    for (const Key& key : keys) {
        const cJSON* item = cJSON_GetObjectItem(id, key.name);
        if (item == nullptr) {
            VORN_LOG_WARNING("%s", key.missing);
        } else if (!cJSON_IsString(item) || item->valuestring == nullptr) {
            VORN_LOG_WARNING("%s", key.notString);
        } else {
            *key.field = item->valuestring;
        }
        if (key.field->empty() && m_strBootstrapProblem.empty()) {
            const char* what = item == nullptr        ? " has no "
                               : cJSON_IsString(item) ? " has an empty "
                                                      : " has no text for ";
            m_strBootstrapProblem = shownPath + what + key.name;
        }
    }
}

void CVORNConfig::parseIdentityConfig(const std::string& directory) {
    static const logdetail::FunctionName function(__PRETTY_FUNCTION__);
    JsonPtr json = ReadJsonFile(directory + "/id.json", function.c_str());
    if (!json) {
        return;
    }
    const cJSON* id = cJSON_GetObjectItem(json.get(), "id");
    if (id == nullptr) {
        VORN_LOG_WARNING("Empty identity config encountered.");
        return;
    }
    const cJSON* verbose = cJSON_GetObjectItem(id, "enable_verbose_logs");
    if (verbose == nullptr) {
        VORN_LOG_WARNING("enable_verbose_logs key not found in config.");
    } else if (cJSON_IsTrue(verbose)) {
        m_bEnableVerboseLogs = true;
    }
    // Optional: absent means the default, without a warning.
    const cJSON* interval = cJSON_GetObjectItem(id, "min_refresh_interval_seconds");
    if (interval != nullptr) {
        const double value = cJSON_IsNumber(interval) ? interval->valuedouble : -1;
        if (value >= 0 && value <= kMaxMinRefreshIntervalSeconds &&
            value == static_cast<double>(static_cast<int>(value))) {
            m_nMinRefreshIntervalSeconds = static_cast<int>(value);
        } else {
            VORN_LOG_WARNING(
                "min_refresh_interval_seconds must be a whole number from 0 to %d; using %d.",
                kMaxMinRefreshIntervalSeconds, kDefaultMinRefreshIntervalSeconds);
        }
    }
    parseDeviceKeyConfig(id);
}

void CVORNConfig::parseDeviceKeyConfig(const cJSON* id) {
    // All optional and silent when absent: without them nothing changes.
    const cJSON* deviceKey = cJSON_GetObjectItem(id, "device_key");
    if (deviceKey != nullptr) {
        const char* value = cJSON_IsString(deviceKey) ? deviceKey->valuestring : nullptr;
        if (value != nullptr && std::string(value) == "none") {
            m_eDeviceKey = DeviceKey::kNone;
        } else if (value != nullptr && std::string(value) == "tpm") {
            m_eDeviceKey = DeviceKey::kTpm;
        } else {
            m_eDeviceKey = DeviceKey::kInvalid;
            VORN_LOG_ERROR(
                "device_key must be \"none\" or \"tpm\"; no identity request is sent until "
                "it is.");
        }
    }
    const cJSON* tcti = cJSON_GetObjectItem(id, "tpm_tcti");
    if (tcti != nullptr) {
        if (cJSON_IsString(tcti) && tcti->valuestring != nullptr && *tcti->valuestring != '\0') {
            m_strTpmTcti = tcti->valuestring;
        } else {
            VORN_LOG_WARNING("tpm_tcti must be a non-empty string; using the default.");
        }
    }
    const cJSON* timeout = cJSON_GetObjectItem(id, "tpm_timeout_seconds");
    if (timeout != nullptr) {
        const double value = cJSON_IsNumber(timeout) ? timeout->valuedouble : -1;
        if (value >= 1 && value <= kMaxTpmTimeoutSeconds &&
            value == static_cast<double>(static_cast<int>(value))) {
            m_nTpmTimeoutSeconds = static_cast<int>(value);
        } else {
            VORN_LOG_WARNING("tpm_timeout_seconds must be a whole number from 1 to %d; using %d.",
                             kMaxTpmTimeoutSeconds, kDefaultTpmTimeoutSeconds);
        }
    }
}

}  // namespace vorn
