#include "agent/vornconfig.h"

#include <cjson/cJSON.h>

#include <fstream>
#include <memory>

#include "common/vornlogger.h"
#include "common/vornpath.h"
#include "common/vornutils.h"

namespace vorn {

namespace {

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

// Reads the file line by line and joins the lines without their line breaks.
// Returns nullptr (after logging) when the file cannot be opened or parsed.
JsonPtr ReadJsonFile(const std::string& path) {
    std::ifstream file(path);
    if (!file.is_open()) {
        VORN_LOG_ERROR("File open failed for %s", path.c_str());
        return JsonPtr(nullptr, cJSON_Delete);
    }
    std::string text;
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        text += line;
    }
    JsonPtr json(cJSON_Parse(text.c_str()), cJSON_Delete);
    if (!json) {
        VORN_LOG_ERROR("Couldn't parse json : %s", text.c_str());
    }
    return json;
}

}  // namespace

CVORNConfig::CVORNConfig() {
    const std::string directory = WideToUTF8(GetVORNConfigDirectory());
    if (directory.empty()) {
        VORN_LOG_ERROR("Empty Config Directory Path.");
        return;
    }
    parseBootstrapConfig(directory);
    parseIdentityConfig(directory);
}

void CVORNConfig::parseBootstrapConfig(const std::string& directory) {
    JsonPtr json = ReadJsonFile(directory + "/bs.json");
    if (!json) {
        return;
    }
    const cJSON* id = cJSON_GetObjectItem(json.get(), "id");
    if (id == nullptr) {
        VORN_LOG_WARNING("Empty bootstrap config encountered.");
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
    }
}

void CVORNConfig::parseIdentityConfig(const std::string& directory) {
    JsonPtr json = ReadJsonFile(directory + "/id.json");
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
}

}  // namespace vorn
