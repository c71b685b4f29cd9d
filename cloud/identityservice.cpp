#include "cloud/identityservice.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "cloud/devicekeyverifier.h"
#include "common/textescape.h"
#include "common/vornlogger.h"

namespace vorn::cloud {
namespace {

struct JsonDeleter {
    void operator()(cJSON* p) const { cJSON_Delete(p); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

struct StatementDeleter {
    void operator()(sqlite3_stmt* p) const { sqlite3_finalize(p); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

std::string PrintCompact(const cJSON* node) {
    char* text = cJSON_PrintUnformatted(node);
    if (text == nullptr) {
        return {};
    }
    std::string result(text);
    cJSON_free(text);
    return result;
}

// Member names are matched without regard to letter case, as cJSON's own
// look-ups do.
bool EqualsIgnoreCase(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

void AppendQuoted(const char* text, std::string& out) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

// Prints a value with object members sorted by name, so that two documents
// that differ only in member order print the same. Depth is bounded by the
// parser's own nesting limit.
void AppendCanonical(const cJSON* node, std::string& out) {
    if (cJSON_IsObject(node)) {
        std::vector<const cJSON*> members;
        for (const cJSON* child = node->child; child != nullptr; child = child->next) {
            members.push_back(child);
        }
        std::stable_sort(members.begin(), members.end(), [](const cJSON* a, const cJSON* b) {
            return std::string(a->string) < std::string(b->string);
        });
        out += '{';
        for (size_t i = 0; i < members.size(); ++i) {
            if (i != 0) {
                out += ',';
            }
            AppendQuoted(members[i]->string, out);
            out += ':';
            AppendCanonical(members[i], out);
        }
        out += '}';
    } else if (cJSON_IsArray(node)) {
        out += '[';
        for (const cJSON* child = node->child; child != nullptr; child = child->next) {
            if (child != node->child) {
                out += ',';
            }
            AppendCanonical(child, out);
        }
        out += ']';
    } else if (cJSON_IsString(node)) {
        AppendQuoted(node->valuestring, out);
    } else if (cJSON_IsNumber(node)) {
        char buffer[40];
        std::snprintf(buffer, sizeof(buffer), "%.17g", node->valuedouble);
        out += buffer;
    } else if (cJSON_IsTrue(node)) {
        out += "true";
    } else if (cJSON_IsFalse(node)) {
        out += "false";
    } else {
        out += "null";
    }
}

// The hardware section as the id sees it. The disks are listed in whatever
// order the kernel enumerated them, which changes when a boot swaps sda and
// sdb, so their order is not part of the identity. Adapters come and go with
// docks and VPNs and say nothing about the machine; they never count, even if
// a client puts them here.
void AppendCanonicalHardware(const cJSON* hardware, std::string& out) {
    std::vector<std::pair<std::string, std::string>> members;
    for (const cJSON* child = hardware->child; child != nullptr; child = child->next) {
        const std::string name = child->string;
        if (EqualsIgnoreCase(name, "adapters")) {
            continue;
        }
        std::string value;
        if (EqualsIgnoreCase(name, "disk_list") && cJSON_IsArray(child)) {
            std::vector<std::string> disks;
            for (const cJSON* disk = child->child; disk != nullptr; disk = disk->next) {
                disks.emplace_back();
                AppendCanonical(disk, disks.back());
            }
            std::sort(disks.begin(), disks.end());
            value += '[';
            for (size_t i = 0; i < disks.size(); ++i) {
                value += (i == 0 ? "" : ",") + disks[i];
            }
            value += ']';
        } else {
            AppendCanonical(child, value);
        }
        members.emplace_back(name, std::move(value));
    }
    std::stable_sort(members.begin(), members.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    out += '{';
    for (size_t i = 0; i < members.size(); ++i) {
        if (i != 0) {
            out += ',';
        }
        AppendQuoted(members[i].first.c_str(), out);
        out += ':';
        out += members[i].second;
    }
    out += '}';
}

std::string Hex(const unsigned char* bytes, size_t count) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0xF];
    }
    return text;
}

// 16 bytes as lowercase 8-4-4-4-12 hex groups.
std::string FormatId(const unsigned char* bytes) {
    const std::string hex = Hex(bytes, 16);
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
           hex.substr(16, 4) + "-" + hex.substr(20, 12);
}

bool IsWellFormedId(const std::string& text) {
    if (text.size() != 36) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = (i == 8 || i == 13 || i == 18 || i == 23);
        const char c = text[i];
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

// Random bytes as hex; empty when the generator fails.
std::string RandomHex(size_t byteCount) {
    std::vector<unsigned char> bytes(byteCount);
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        return {};
    }
    return Hex(bytes.data(), bytes.size());
}

// The named member when it is a string, else nullptr (a member of the wrong
// type counts as missing).
const char* StringMember(const cJSON* object, const char* name) {
    const cJSON* item = cJSON_GetObjectItem(object, name);
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}

// The database holds every device's token and instance key: only the service's
// own user may read it. SQLite creates the file with the umask (0644 at the
// usual 022) and gives its write-ahead log and shared-memory files the main
// file's mode, so the main file is created, or tightened, to 0600 before
// SQLite opens it, and side files left by an earlier run are tightened too.
bool RestrictDatabaseFiles(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        VORN_LOG_ERROR("cannot create device database %s: %s", path.c_str(), strerror(errno));
        return false;
    }
    const bool restricted = ::fchmod(fd, 0600) == 0;
    if (!restricted) {
        VORN_LOG_ERROR("cannot restrict device database %s to its owner: %s", path.c_str(),
                       strerror(errno));
    }
    ::close(fd);
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        const std::string side = path + suffix;
        if (::chmod(side.c_str(), 0600) != 0 && errno != ENOENT) {
            VORN_LOG_WARNING("cannot restrict %s to its owner: %s", side.c_str(), strerror(errno));
        }
    }
    return restricted;
}

IdentityAnswer Error(unsigned httpStatus, const std::string& message) {
    return IdentityAnswer{httpStatus,
                          CIdentityService::ErrorDocument(static_cast<int>(httpStatus), message)};
}

}  // namespace

CIdentityService::~CIdentityService() {
    if (m_pDb != nullptr) {
        sqlite3_close(m_pDb);
    }
}

VORN_STATUS CIdentityService::Open(const std::string& dbPath) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::string path = dbPath.empty() ? ":memory:" : dbPath;
    if (!dbPath.empty() && !RestrictDatabaseFiles(dbPath)) {
        return VORN_STATUS::VORN_ERROR;
    }
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(
        path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
        nullptr);
    if (rc != SQLITE_OK) {
        VORN_LOG_ERROR("cannot open device database %s: %s", path.c_str(),
                       db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return VORN_STATUS::VORN_ERROR;
    }
    // Another service instance on the same file waits briefly instead of failing.
    sqlite3_busy_timeout(db, 2000);
    // One fsync per answer would dominate an exchange; with a write-ahead log a
    // crash can lose the last few devices at worst, never corrupt the file, and
    // a lost device simply gets its hardware-derived id again.
    (void)sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr, nullptr,
                       nullptr);
    char* error = nullptr;
    if (sqlite3_exec(db,
                     "CREATE TABLE IF NOT EXISTS devices ("
                     " vorn TEXT PRIMARY KEY NOT NULL,"
                     " business_id TEXT NOT NULL,"
                     " token TEXT NOT NULL,"
                     " instance_key TEXT NOT NULL,"
                     " first_seen INTEGER NOT NULL,"
                     " last_seen INTEGER NOT NULL,"
                     " exchanges INTEGER NOT NULL DEFAULT 1)",
                     nullptr, nullptr, &error) != SQLITE_OK) {
        VORN_LOG_ERROR("cannot create the devices table in %s: %s", path.c_str(),
                       error != nullptr ? error : "unknown error");
        sqlite3_free(error);
        sqlite3_close(db);
        return VORN_STATUS::VORN_ERROR;
    }
    // Columns for devices bound to a key, added to databases made before them
    // (adding one that is already there fails harmlessly).
    for (const char* column : {"device_key TEXT", "hardware_id TEXT", "suspected_clone_of TEXT"}) {
        (void)sqlite3_exec(db, (std::string("ALTER TABLE devices ADD COLUMN ") + column).c_str(),
                           nullptr, nullptr, nullptr);
    }
    if (m_pDb != nullptr) {
        sqlite3_close(m_pDb);
    }
    m_pDb = db;
    return VORN_STATUS::VORN_OK;
}

void CIdentityService::AddAccount(const std::string& businessId, const std::string& installerKey) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_setAccounts.emplace(businessId, installerKey);
}

std::string CIdentityService::ErrorDocument(int code, const std::string& message) {
    JsonPtr root(cJSON_CreateObject());
    if (!root || cJSON_AddNumberToObject(root.get(), "code", code) == nullptr ||
        cJSON_AddStringToObject(root.get(), "msg", message.c_str()) == nullptr) {
        return "{\"code\":500,\"msg\":\"out of memory\"}";
    }
    return PrintCompact(root.get());
}

void CIdentityService::SetClock(std::function<int64_t()> clock) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fnNow = std::move(clock);
}

std::string CIdentityService::DeriveVornId(const std::string& businessId,
                                           const std::string& hardwareJson,
                                           const std::string& deviceKeyFingerprint) {
    JsonPtr hardware(cJSON_Parse(hardwareJson.c_str()));
    if (!cJSON_IsObject(hardware.get())) {
        return {};
    }
    // The business is part of the digest: two businesses that post the same
    // machine must not learn of each other, nor share its id or instance key.
    std::string canonical = "vorn-hardware-2:";
    AppendQuoted(businessId.c_str(), canonical);
    canonical += ':';
    AppendCanonicalHardware(hardware.get(), canonical);
    if (!deviceKeyFingerprint.empty()) {
        canonical += ":key:" + deviceKeyFingerprint;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(canonical.data(), canonical.size(), digest, &digestLength, EVP_sha256(),
                   nullptr) != 1 ||
        digestLength < 16) {
        return {};
    }
    // Mark it like a name-based UUID so the text reads as what it is.
    digest[6] = static_cast<unsigned char>((digest[6] & 0x0F) | 0x50);
    digest[8] = static_cast<unsigned char>((digest[8] & 0x3F) | 0x80);
    return FormatId(digest);
}

IdentityAnswer CIdentityService::HandleRequest(const std::string& body,
                                               const std::string& deviceSignature) {
    try {
        JsonPtr root(cJSON_ParseWithLength(body.data(), body.size()));
        if (!cJSON_IsObject(root.get())) {
            return Error(kCodeBadRequest, "request body is not a JSON object");
        }
        const cJSON* business = cJSON_GetObjectItem(root.get(), "business");
        if (!cJSON_IsObject(business)) {
            return Error(kCodeBadRequest, "missing business section");
        }
        const char* businessId = StringMember(business, "id");
        const char* installerKey = StringMember(business, "installer_key");
        if (businessId == nullptr || *businessId == '\0' || installerKey == nullptr ||
            *installerKey == '\0') {
            return Error(kCodeBadRequest, "missing business id or installer key");
        }
        const cJSON* hardware = cJSON_GetObjectItem(root.get(), "hardware");
        if (!cJSON_IsObject(hardware)) {
            return Error(kCodeBadRequest, "missing hardware section");
        }
        const char* serial = StringMember(hardware, "serial_number");
        if (serial == nullptr || *serial == '\0' || StringMember(hardware, "uuid") == nullptr) {
            return Error(kCodeBadRequest, "hardware section lacks serial_number or uuid");
        }
        const cJSON* os = cJSON_GetObjectItem(root.get(), "os");
        if (!cJSON_IsObject(os)) {
            return Error(kCodeBadRequest, "missing os section");
        }
        if (StringMember(os, "hostname") == nullptr) {
            return Error(kCodeBadRequest, "os section lacks hostname");
        }
        const cJSON* misc = cJSON_GetObjectItem(root.get(), "misc");
        if (!cJSON_IsObject(misc)) {
            return Error(kCodeBadRequest, "missing misc section");
        }
        if (!cJSON_IsObject(cJSON_GetObjectItem(misc, "product"))) {
            return Error(kCodeBadRequest, "misc section lacks product");
        }
        const char* cachedVorn = nullptr;
        const char* cachedToken = nullptr;
        if (const cJSON* cache = cJSON_GetObjectItem(misc, "cache"); cache != nullptr) {
            cachedVorn = StringMember(cache, "vorn");
            cachedToken = StringMember(cache, "vorn_token");
            if (!cJSON_IsObject(cache) || cachedVorn == nullptr || *cachedVorn == '\0' ||
                cachedToken == nullptr || *cachedToken == '\0') {
                return Error(kCodeBadRequest, "cache lacks vorn or vorn_token");
            }
        }

        std::lock_guard<std::mutex> lock(m_mutex);
        const int64_t now = m_fnNow ? m_fnNow() : static_cast<int64_t>(std::time(nullptr));
        const DeviceKeyCheck key = CheckDeviceKey(root.get(), body, deviceSignature, now);
        if (key.m_eResult != DeviceKeyCheck::kAbsent && key.m_eResult != DeviceKeyCheck::kValid) {
            VORN_LOG_WARNING("refused a request of business %s: %s",
                             EscapeUntrusted(businessId, 128).c_str(), key.m_strWhy.c_str());
            return Error(kCodeDeviceKeyRefused, key.m_strWhy);
        }
        const bool keyed = key.m_eResult == DeviceKeyCheck::kValid;
        if (!m_setAccounts.empty() && m_setAccounts.count({businessId, installerKey}) == 0) {
            VORN_LOG_WARNING("refused business id %s: unknown installer key",
                             EscapeUntrusted(businessId, 128).c_str());
            return Error(kCodeUnauthorized, "business id or installer key not accepted");
        }
        if (m_pDb == nullptr) {
            return Error(kCodeInternal, "device database not open");
        }

        std::string vorn;
        Device device;
        bool known = false;
        if (cachedVorn != nullptr) {
            Device cached;
            if (lookupDevice(cachedVorn, cached)) {
                // A known device keeps its id only with the token it was last given,
                // so that a stolen id alone cannot take a device over, and only
                // within the business that owns it.
                if (cached.m_strBusinessId != businessId) {
                    VORN_LOG_WARNING(
                        "cached id %s belongs to another business; using the "
                        "hardware id",
                        EscapeUntrusted(cachedVorn, 64).c_str());
                } else if (cached.m_strToken == cachedToken) {
                    vorn = cachedVorn;
                    device = cached;
                    known = true;
                } else {
                    VORN_LOG_WARNING("cached token of %s does not match; using the hardware id",
                                     EscapeUntrusted(cachedVorn, 64).c_str());
                }
            } else if (IsWellFormedId(cachedVorn)) {
                // Issued by an instance whose database this one does not have.
                vorn = cachedVorn;
            }
        }
        if (vorn.empty()) {
            vorn = DeriveVornId(businessId, PrintCompact(hardware));
            if (vorn.empty()) {
                return Error(kCodeInternal, "cannot derive a device id");
            }
            // A row under another business can only be one that claimed this id
            // through a forged cache; it is replaced, keys and all.
            known = lookupDevice(vorn, device) && device.m_strBusinessId == businessId;
        }
        std::string cloneOf;
        std::string hardwareId;
        if (keyed || (known && !device.m_strDeviceKey.empty())) {
            hardwareId = DeriveVornId(businessId, PrintCompact(hardware));
            if (hardwareId.empty()) {
                return Error(kCodeInternal, "cannot derive a device id");
            }
        }
        if (known && !device.m_strDeviceKey.empty() &&
            device.m_strDeviceKey != key.m_strFingerprint) {
            if (!keyed) {
                VORN_LOG_WARNING(
                    "refused device %s: it is bound to a device key, the request has none",
                    vorn.c_str());
                return Error(kCodeDeviceKeyRefused, "this device is bound to a device key");
            }
            if (device.m_strHardwareId != hardwareId) {
                VORN_LOG_WARNING(
                    "refused device %s: presented with device key %s from other hardware; it is "
                    "bound to %s",
                    vorn.c_str(), key.m_strFingerprint.c_str(), device.m_strDeviceKey.c_str());
                return Error(kCodeDeviceKeyRefused, "this device is bound to another device key");
            }
            // The same hardware with another key: a copy of the machine (or
            // its TPM cleared). It is a device of its own, under an id of its
            // own, and flagged.
            cloneOf = vorn;
            vorn = DeriveVornId(businessId, PrintCompact(hardware), key.m_strFingerprint);
            if (vorn.empty()) {
                return Error(kCodeInternal, "cannot derive a device id");
            }
            Device clone;
            known = lookupDevice(vorn, clone) && clone.m_strBusinessId == businessId;
            device = known ? clone : Device{};
            VORN_LOG_WARNING(
                "suspected clone of device %s: the same hardware with another device key (%s); "
                "registered as device %s",
                cloneOf.c_str(), key.m_strFingerprint.c_str(), vorn.c_str());
        }
        if (!known) {
            device.m_strInstanceKey = RandomHex(16);
        }
        device.m_strVorn = vorn;
        device.m_strToken = RandomHex(32);
        if (device.m_strToken.empty() || device.m_strInstanceKey.empty()) {
            return Error(kCodeInternal, "random generator failed");
        }
        if (keyed) {
            if (device.m_strDeviceKey.empty()) {
                VORN_LOG_DEBUG("device %s bound to device key %s", vorn.c_str(),
                               key.m_strFingerprint.c_str());
            }
            device.m_strDeviceKey = key.m_strFingerprint;
            device.m_strHardwareId = hardwareId;
            // The row and its binding are one change.
            if (sqlite3_exec(m_pDb, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
                return Error(kCodeInternal, "device database write failed");
            }
            if (!storeDevice(device, businessId, !known) || !storeBinding(device, cloneOf)) {
                (void)sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
                return Error(kCodeInternal, "device database write failed");
            }
            if (sqlite3_exec(m_pDb, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
                (void)sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
                return Error(kCodeInternal, "device database write failed");
            }
        } else if (!storeDevice(device, businessId, !known)) {
            return Error(kCodeInternal, "device database write failed");
        }
        VORN_LOG_DEBUG("%s device %s for business %s", known ? "known" : "new", vorn.c_str(),
                       EscapeUntrusted(businessId, 128).c_str());

        JsonPtr answer(cJSON_CreateObject());
        if (!answer || cJSON_AddStringToObject(answer.get(), "vorn", vorn.c_str()) == nullptr ||
            cJSON_AddStringToObject(answer.get(), "vorn_token", device.m_strToken.c_str()) ==
                nullptr ||
            cJSON_AddStringToObject(answer.get(), "instance_key",
                                    device.m_strInstanceKey.c_str()) == nullptr) {
            return Error(kCodeInternal, "out of memory");
        }
        return IdentityAnswer{200, PrintCompact(answer.get())};
    } catch (const std::exception& e) {
        // Only allocation can throw here; the connection still gets an answer.
        VORN_LOG_ERROR("request failed: %s", e.what());
        return Error(kCodeInternal, "internal error");
    }
}

bool CIdentityService::lookupDevice(const std::string& vorn, Device& device) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(m_pDb,
                           "SELECT token, instance_key, business_id, device_key, hardware_id "
                           "FROM devices WHERE vorn = ?1",
                           -1, &raw, nullptr) != SQLITE_OK) {
        VORN_LOG_ERROR("device lookup failed: %s", sqlite3_errmsg(m_pDb));
        return false;
    }
    StatementPtr statement(raw);
    sqlite3_bind_text(raw, 1, vorn.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(raw) != SQLITE_ROW) {
        return false;
    }
    const auto* token = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
    const auto* instanceKey = reinterpret_cast<const char*>(sqlite3_column_text(raw, 1));
    const auto* businessId = reinterpret_cast<const char*>(sqlite3_column_text(raw, 2));
    device.m_strVorn = vorn;
    device.m_strBusinessId = businessId != nullptr ? businessId : "";
    device.m_strToken = token != nullptr ? token : "";
    device.m_strInstanceKey = instanceKey != nullptr ? instanceKey : "";
    const auto* deviceKey = reinterpret_cast<const char*>(sqlite3_column_text(raw, 3));
    const auto* hardwareId = reinterpret_cast<const char*>(sqlite3_column_text(raw, 4));
    device.m_strDeviceKey = deviceKey != nullptr ? deviceKey : "";
    device.m_strHardwareId = hardwareId != nullptr ? hardwareId : "";
    return true;
}

bool CIdentityService::storeBinding(const Device& device, const std::string& cloneOf) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(m_pDb,
                           "UPDATE devices SET device_key = ?2, hardware_id = ?3, "
                           "suspected_clone_of = COALESCE(?4, suspected_clone_of) WHERE vorn = ?1",
                           -1, &raw, nullptr) != SQLITE_OK) {
        VORN_LOG_ERROR("device write failed: %s", sqlite3_errmsg(m_pDb));
        return false;
    }
    StatementPtr statement(raw);
    sqlite3_bind_text(raw, 1, device.m_strVorn.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(raw, 2, device.m_strDeviceKey.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(raw, 3, device.m_strHardwareId.c_str(), -1, SQLITE_TRANSIENT);
    if (cloneOf.empty()) {
        sqlite3_bind_null(raw, 4);
    } else {
        sqlite3_bind_text(raw, 4, cloneOf.c_str(), -1, SQLITE_TRANSIENT);
    }
    if (sqlite3_step(raw) != SQLITE_DONE) {
        VORN_LOG_ERROR("device write failed: %s", sqlite3_errmsg(m_pDb));
        return false;
    }
    return true;
}

bool CIdentityService::storeDevice(const Device& device, const std::string& businessId,
                                   bool isNew) {
    const char* sql =
        isNew ? "INSERT OR REPLACE INTO devices (vorn, business_id, token, instance_key, "
                "first_seen, last_seen) VALUES (?1, ?2, ?3, ?4, ?5, ?5)"
              : "UPDATE devices SET business_id = ?2, token = ?3, instance_key = ?4, "
                "last_seen = ?5, exchanges = exchanges + 1 WHERE vorn = ?1";
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(m_pDb, sql, -1, &raw, nullptr) != SQLITE_OK) {
        VORN_LOG_ERROR("device write failed: %s", sqlite3_errmsg(m_pDb));
        return false;
    }
    StatementPtr statement(raw);
    sqlite3_bind_text(raw, 1, device.m_strVorn.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(raw, 2, businessId.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(raw, 3, device.m_strToken.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(raw, 4, device.m_strInstanceKey.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(raw, 5, static_cast<sqlite3_int64>(std::time(nullptr)));
    if (sqlite3_step(raw) != SQLITE_DONE) {
        VORN_LOG_ERROR("device write failed: %s", sqlite3_errmsg(m_pDb));
        return false;
    }
    return true;
}

long long CIdentityService::DeviceCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pDb == nullptr) {
        return -1;
    }
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(m_pDb, "SELECT COUNT(*) FROM devices", -1, &raw, nullptr) != SQLITE_OK) {
        return -1;
    }
    StatementPtr statement(raw);
    if (sqlite3_step(raw) != SQLITE_ROW) {
        return -1;
    }
    return sqlite3_column_int64(raw, 0);
}

}  // namespace vorn::cloud
