#include "common/vornstorefileimpl.h"

#include <cjson/cJSON.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "common/linux/fdio.h"
#include "common/linux/vornfilelock.h"
#include "common/vornlogger.h"

namespace vorn {

namespace {

// Set once the store file's permissions were applied, or a restricted store
// written, in this process run; never reset. One flag for the process, not
// per object.
std::atomic<bool> g_bStorePermissionsApplied{false};

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

// Damaged copies kept next to the store; older ones are removed.
constexpr size_t kDamagedCopiesKept = 3;
constexpr const char* kDamagedInfix = ".damaged-";

enum class ReadResult { eOk, eOpenFailed, eNoMemory };

// Reads the whole regular file at 'path' into 'text'. 'size' is the file's
// size as found, also on eNoMemory. A link, directory, FIFO or device in
// place of the store counts as a file that cannot be opened ('openError'
// tells why), and never blocks the caller.
ReadResult ReadWholeFile(const std::string& path, std::string& text, size_t& size,
                         int* openError = nullptr) {
    text.clear();
    size = 0;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        if (openError != nullptr) {
            *openError = errno;
        }
        return ReadResult::eOpenFailed;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        (void)::close(fd);
        if (openError != nullptr) {
            *openError = EINVAL;
        }
        return ReadResult::eOpenFailed;
    }
    size = static_cast<size_t>(info.st_size);
    try {
        text.resize(size);
    } catch (const std::bad_alloc&) {
        (void)::close(fd);
        return ReadResult::eNoMemory;
    } catch (const std::length_error&) {
        (void)::close(fd);
        return ReadResult::eNoMemory;
    }
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, &text[got], size - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    // The text is exactly the bytes read.
    text.resize(got);
    (void)::close(fd);
    return ReadResult::eOk;
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// cJSON's type code without its flag bits (reference, constant key).
int TypeCode(const cJSON* item) {
    return item->type & 0xFF;
}

std::string UtcStamp(std::time_t when) {
    struct tm utc {};
    char text[32] = "00000000T000000Z";
    if (::gmtime_r(&when, &utc) != nullptr) {
        (void)std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    }
    return text;
}

bool FlushDirectory(const std::string& directory) {
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool ok = dirFd >= 0 && ::fsync(dirFd) == 0;
    if (dirFd >= 0) {
        (void)::close(dirFd);
    }
    return ok;
}

}  // namespace

VORN_STATUS CVORNStoreFileImpl::Initialize(const std::string& storePath) {
    m_strStorePath = storePath;
    m_strLockFilePath = storePath + ".lck";
    if (m_strStorePath.empty() || m_eMode == eOpenReadOnly) {
        return VORN_OK;
    }
    // Nothing is created in a directory that others could have prepared.
    if (!dataDirectoryIsSafe()) {
        return VORN_OK;
    }
    // The lock file must exist before anyone can lock it; never truncate one
    // that another process may hold, never follow a link or block on a FIFO.
    const int fd = ::open(m_strLockFilePath.c_str(),
                          O_RDONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK,
                          S_IRUSR | S_IWUSR);
    if (fd >= 0) {
        // An older lock file of ours may carry a wider mode; failing to
        // narrow it is not fatal. Someone else's file is left alone.
        struct stat info {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid()) {
            (void)::fchmod(fd, S_IRUSR | S_IWUSR);
        }
        (void)::close(fd);
    }
    return VORN_OK;
}

bool CVORNStoreFileImpl::dataDirectoryIsSafe() const {
    if (m_eMode != eOpenReadWrite || ::geteuid() != 0) {
        return true;
    }
    const std::string directory = DirectoryOf(m_strStorePath);
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0) {
        VORN_LOG_ERRNO(CVORNLogger::kError,
                       "Data directory %s cannot be examined; the identity is not kept there",
                       directory.c_str());
        return false;
    }
    if (info.st_uid != 0 || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        // Whoever may change the directory may plant links, FIFOs or a
        // forged store in it, or take the identity away.
        VORN_LOG_ERROR(
            "Data directory %s refused: owned by uid %u with mode %04o; it must be owned by "
            "root and not writable by group or others, the identity is not kept there",
            directory.c_str(), static_cast<unsigned>(info.st_uid),
            static_cast<unsigned>(info.st_mode & 07777));
        return false;
    }
    return true;
}

bool CVORNStoreFileImpl::lock(CVORNFileLock& fileLock, bool exclusive, int* openError) {
    CVORNFileLock::Options options;
    // The agent heals a deleted lock file; a client that only looks
    // creates nothing.
    options.create = m_eMode == eOpenReadWrite;
    options.timeout = m_lockTimeout;
    if (m_budget) {
        if (m_budget->refused) {
            // Another holder kept the lock through a whole wait of this
            // budget: waiting again would only stretch the caller's answer.
            VORN_LOG_ERROR("Store lock %s not requested: an earlier request was not granted",
                           m_strLockFilePath.c_str());
            return false;
        }
        options.timeout = std::min(options.timeout, m_budget->left);
    }
    const auto started = std::chrono::steady_clock::now();
    std::string lockError;
    const bool granted = fileLock.Lock(
        m_strLockFilePath, exclusive ? CVORNFileLock::Mode::Exclusive : CVORNFileLock::Mode::Shared,
        options, lockError);
    if (m_budget) {
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        m_budget->left -= std::min(m_budget->left, waited);
        m_budget->refused = !granted;
    }
    if (!granted) {
        if (openError != nullptr) {
            *openError = fileLock.OpenError();
        }
        VORN_LOG_ERROR("Unexpected Exception [%s] ", lockError.c_str());
        return false;
    }
    return true;
}

void CVORNStoreFileImpl::BeginLockBudget(std::chrono::milliseconds total) {
    m_budget = LockBudget{total, false};
}

void CVORNStoreFileImpl::EndLockBudget() {
    m_budget.reset();
}

VORN_STATUS CVORNStoreFileImpl::ReadKeyValue(const std::string& key, std::string& value) {
    value.clear();
    if (m_strStorePath.empty()) {
        VORN_LOG_ERROR("CVORNStoreFileImpl not Initialized");
        return VORN_ERROR;
    }
    // The file holds C strings: "k\0x" would be looked up as "k".
    if (key.find('\0') != std::string::npos) {
        VORN_LOG_ERROR("Store key with a NUL byte is not readable");
        return VORN_FAILED;
    }
    if (!dataDirectoryIsSafe()) {
        return VORN_FAILED;
    }
    CVORNFileLock fileLock;
    if (!lock(fileLock, false, nullptr)) {
        return VORN_FAILED;
    }
    std::string text;
    size_t size = 0;
    switch (ReadWholeFile(m_strStorePath, text, size)) {
        case ReadResult::eOpenFailed:
            VORN_LOG_WARNING("Couldn't open file : %s to read", m_strStorePath.c_str());
            return VORN_FAILED;
        case ReadResult::eNoMemory:
            VORN_LOG_ERROR("Fatal error - could not allocate memory of len(%d)",
                           static_cast<int>(size));
            return VORN_FAILED;
        case ReadResult::eOk:
            break;
    }
    if (size == 0) {
        VORN_LOG_ERROR("File [%s] Size is zero", m_strStorePath.c_str());
        return VORN_FAILED;
    }
    return readJSONKeyValueString(text, key, value) ? VORN_OK : VORN_FAILED;
}

VORN_STATUS CVORNStoreFileImpl::ReadKeyValues(const std::vector<std::string>& keys,
                                              std::vector<std::string>& values, int& openError) {
    values.assign(keys.size(), std::string());
    openError = 0;
    if (m_strStorePath.empty()) {
        VORN_LOG_ERROR("CVORNStoreFileImpl not Initialized");
        return VORN_ERROR;
    }
    if (!dataDirectoryIsSafe()) {
        return VORN_FAILED;
    }
    CVORNFileLock fileLock;
    if (!lock(fileLock, false, &openError)) {
        return VORN_FAILED;
    }
    std::string text;
    size_t size = 0;
    if (ReadWholeFile(m_strStorePath, text, size, &openError) != ReadResult::eOk) {
        VORN_LOG_WARNING("Couldn't open file : %s to read", m_strStorePath.c_str());
        return VORN_FAILED;
    }
    JsonPtr root(cJSON_ParseWithLength(text.data(), text.size()), cJSON_Delete);
    if (!root || !cJSON_IsObject(root.get())) {
        VORN_LOG_ERROR("Couldn't parse json to read: %s", m_strStorePath.c_str());
        return VORN_FAILED;
    }
    for (size_t i = 0; i < keys.size(); ++i) {
        const char* found =
            keys[i].find('\0') == std::string::npos
                ? cJSON_GetStringValue(cJSON_GetObjectItem(root.get(), keys[i].c_str()))
                : nullptr;
        if (found != nullptr) {
            values[i] = found;
        }
    }
    return VORN_OK;
}

VORN_STATUS CVORNStoreFileImpl::WriteKeyValue(const std::string& key, const std::string& value) {
    return WriteKeyValues({{key, value}});
}

VORN_STATUS CVORNStoreFileImpl::WriteKeyValues(const KeyValueList& keyValues) {
    if (m_strStorePath.empty()) {
        VORN_LOG_ERROR("CVORNStoreFileImpl not Initialized");
        return VORN_ERROR;
    }
    if (m_eMode == eOpenReadOnly) {
        VORN_LOG_ERROR("CVORNStoreFileImpl opened read-only; not writing %s",
                       m_strStorePath.c_str());
        return VORN_ERROR;
    }
    if (keyValues.empty()) {
        return VORN_OK;
    }
    // The file holds C strings: a NUL byte would cut a key or value short and
    // the store would report success for something it does not hold.
    for (const auto& [key, value] : keyValues) {
        if (key.find('\0') != std::string::npos || value.find('\0') != std::string::npos) {
            VORN_LOG_ERROR("Store key or value with a NUL byte is not writable");
            return VORN_ERROR;
        }
    }
    if (!dataDirectoryIsSafe()) {
        return VORN_ERROR;
    }
    if (!ensureStoreFileProtected()) {
        VORN_LOG_ERROR("Unable to set necessary permissions on vornstore file.");
        return VORN_ERROR;
    }

    // One exclusive lock over the read, the change and the replace, so two
    // writers can never lose each other's keys.
    CVORNFileLock fileLock;
    if (!lock(fileLock, true, nullptr)) {
        return VORN_ERROR;
    }
    std::string text;
    size_t size = 0;
    int openError = 0;
    switch (ReadWholeFile(m_strStorePath, text, size, &openError)) {
        case ReadResult::eOpenFailed:
            // No store yet: the first write makes it, through the temporary
            // file and the rename like every other.
            if (openError == ENOENT) {
                break;
            }
            VORN_LOG_ERROR("Fatal error - could not open file for reading");
            return VORN_ERROR;
        case ReadResult::eNoMemory:
            VORN_LOG_ERROR("Fatal error - could not allocate memory of len(%d)",
                           static_cast<int>(size));
            return VORN_ERROR;
        case ReadResult::eOk:
            break;
    }
    if (!text.empty()) {
        JsonPtr parsed(cJSON_ParseWithLength(text.data(), text.size()), cJSON_Delete);
        if (!parsed) {
            // Left in place, text that is not JSON would refuse every answer
            // from now on; a copy keeps it for whoever wants to look.
            for (const auto& keyValue : keyValues) {
                VORN_LOG_ERROR("Couldn't parse json to write: [%s]", keyValue.first.c_str());
            }
            if (!moveDamagedStoreAside()) {
                return VORN_ERROR;
            }
            text.clear();
        }
    }
    if (!insertOrUpdateJSONKeyValueString(keyValues, text)) {
        return VORN_ERROR;
    }
    if (!replaceStoreFile(text)) {
        return VORN_ERROR;
    }
    // What is in place now was made restricted.
    g_bStorePermissionsApplied.store(true);
    return VORN_OK;
}

bool CVORNStoreFileImpl::ensureStoreFileProtected() {
    struct stat info {};
    if (::lstat(m_strStorePath.c_str(), &info) != 0 && errno == ENOENT) {
        // Nothing to restrict: the write creates the store restricted. It is
        // never created empty first, so a crash during the first write leaves
        // no store at all rather than an empty one.
        return true;
    }
    if (g_bStorePermissionsApplied.load()) {
        return true;
    }
    if (SetFilePermission(m_strStorePath) != VORN_OK) {
        return false;
    }
    g_bStorePermissionsApplied.store(true);
    return true;
}

bool CVORNStoreFileImpl::replaceStoreFile(const std::string& text) {
    // Caller holds the exclusive lock, so the temporary name is ours alone.
    // Whatever sits there (a crashed writer's leftover, or a link or FIFO
    // planted in its place) is removed, and the file is created afresh, so
    // the identity only ever goes into a new regular file of our own.
    const std::string tempPath = m_strStorePath + ".tmp";
    (void)::unlink(tempPath.c_str());
    const int fd =
        ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
               S_IRUSR | S_IWUSR);
    if (fd < 0) {
        VORN_LOG_ERROR("Fatal error - could not open file for writing");
        return false;
    }
    // The new file replaces the restricted one, so it must be restricted
    // before it carries the identity (a leftover may have another mode).
    bool ok = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    if (ok && ::geteuid() == 0) {
        ok = ::fchown(fd, 0, static_cast<gid_t>(-1)) == 0;
    }
    if (!ok) {
        VORN_LOG_ERRNO(CVORNLogger::kError, "Unable to restrict %s", tempPath.c_str());
    } else if (!WriteAll(fd, text) || ::fsync(fd) != 0) {
        VORN_LOG_ERRNO(CVORNLogger::kError, "Fatal error - could not write file %s",
                       tempPath.c_str());
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        VORN_LOG_ERRNO(CVORNLogger::kError, "Fatal error - could not write file %s",
                       tempPath.c_str());
        ok = false;
    }
    if (ok && ::rename(tempPath.c_str(), m_strStorePath.c_str()) != 0) {
        VORN_LOG_ERRNO(CVORNLogger::kError, "Fatal error - could not replace file %s",
                       m_strStorePath.c_str());
        ok = false;
    }
    if (!ok) {
        (void)::unlink(tempPath.c_str());
        return false;
    }
    // Make the rename itself durable. Until the directory is flushed a power
    // loss may bring the old store back, so a write whose flush failed is not
    // reported as stored, although readers already see the new file.
    const std::string directory = DirectoryOf(m_strStorePath);
    if (!(m_fnFlushDirectory ? m_fnFlushDirectory(directory) : FlushDirectory(directory))) {
        VORN_LOG_ERRNO(CVORNLogger::kError,
                       "Could not flush directory %s; the new store may not survive a power loss",
                       directory.c_str());
        return false;
    }
    return true;
}

bool CVORNStoreFileImpl::moveDamagedStoreAside() {
    // The copy may hold an identity: restrict it before it gets its new name.
    const int fd =
        ::open(m_strStorePath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        ::fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
        VORN_LOG_ERRNO(CVORNLogger::kError, "Damaged store %s could not be restricted",
                       m_strStorePath.c_str());
        if (fd >= 0) {
            (void)::close(fd);
        }
        return false;
    }
    (void)::close(fd);

    const std::time_t now = m_fnNow ? m_fnNow() : std::time(nullptr);
    const std::string stem = m_strStorePath + kDamagedInfix + UtcStamp(now);
    std::string aside = stem;
    int result = -1;
    // Two damaged files within one second keep both copies.
    for (int attempt = 1; attempt <= 100; ++attempt) {
        result = ::renameat2(AT_FDCWD, m_strStorePath.c_str(), AT_FDCWD, aside.c_str(),
                             RENAME_NOREPLACE);
        if (result == 0 || errno != EEXIST) {
            break;
        }
        aside = stem + "-" + std::to_string(attempt);
    }
    if (result != 0 && errno == EINVAL) {
        // A file system without no-replace renames: the newest copy wins.
        result = ::rename(m_strStorePath.c_str(), aside.c_str());
    }
    if (result != 0) {
        VORN_LOG_ERRNO(CVORNLogger::kError, "Damaged store %s could not be moved aside to %s",
                       m_strStorePath.c_str(), aside.c_str());
        return false;
    }
    VORN_LOG_ERROR("Store %s does not parse; moved aside to %s and a fresh store is written",
                   m_strStorePath.c_str(), aside.c_str());

    // Keep the copy just made and the newest others. They are ordered by
    // when each was moved aside (the rename sets the change time), not by
    // their names: a stamp taken while the clock was behind would sort the
    // new copy first and delete it at once.
    const std::string directory = DirectoryOf(m_strStorePath);
    const std::string prefix = BaseNameOf(m_strStorePath) + kDamagedInfix;
    const std::string made = BaseNameOf(aside);
    struct Copy {
        struct timespec moved;
        std::string name;
    };
    std::vector<Copy> copies;
    if (DIR* listing = ::opendir(directory.c_str())) {
        while (const struct dirent* entry = ::readdir(listing)) {
            const std::string name = entry->d_name;
            struct stat copyInfo {};
            if (name.compare(0, prefix.size(), prefix) == 0 && name != made &&
                ::fstatat(::dirfd(listing), entry->d_name, &copyInfo, AT_SYMLINK_NOFOLLOW) == 0) {
                copies.push_back({copyInfo.st_ctim, name});
            }
        }
        (void)::closedir(listing);
    }
    std::sort(copies.begin(), copies.end(), [](const Copy& a, const Copy& b) {
        if (a.moved.tv_sec != b.moved.tv_sec) {
            return a.moved.tv_sec > b.moved.tv_sec;
        }
        if (a.moved.tv_nsec != b.moved.tv_nsec) {
            return a.moved.tv_nsec > b.moved.tv_nsec;
        }
        return a.name > b.name;
    });
    for (size_t i = kDamagedCopiesKept - 1; i < copies.size(); ++i) {
        const std::string old = directory + "/" + copies[i].name;
        if (::unlink(old.c_str()) != 0) {
            VORN_LOG_ERRNO(CVORNLogger::kWarning, "Could not remove old damaged store %s",
                           old.c_str());
        }
    }
    (void)FlushDirectory(directory);
    return true;
}

bool CVORNStoreFileImpl::insertOrUpdateJSONKeyValueString(const KeyValueList& keyValues,
                                                          std::string& text) {
    JsonPtr root(nullptr, cJSON_Delete);
    size_t next = 0;
    if (text.empty()) {
        VORN_LOG_DEBUG("Creating new Store");
        root.reset(cJSON_CreateObject());
        if (!root) {
            VORN_LOG_ERROR("Failed to Create String Json when creating JSON object tree");
            return false;
        }
        const auto& [key, value] = keyValues.front();
        cJSON* item = cJSON_CreateString(value.c_str());
        if (item == nullptr) {
            VORN_LOG_ERROR("Failed to Create String Json");
            return false;
        }
        if (!cJSON_AddItemToObject(root.get(), key.c_str(), item)) {
            cJSON_Delete(item);
            VORN_LOG_ERROR("Failed to Create String Json");
            return false;
        }
        next = 1;
    } else {
        root.reset(cJSON_ParseWithLength(text.data(), text.size()));
        // Anything but an object (an array, a bare string) is not a store:
        // adding a member to it would write a file nobody can read back.
        if (!root || !cJSON_IsObject(root.get())) {
            for (const auto& keyValue : keyValues) {
                VORN_LOG_ERROR("Couldn't parse json to write: [%s]", keyValue.first.c_str());
            }
            return false;
        }
    }
    for (; next < keyValues.size(); ++next) {
        if (!insertOrUpdateMember(root.get(), keyValues[next].first, keyValues[next].second)) {
            return false;
        }
    }
    return serializeJson(root.get(), text);
}

bool CVORNStoreFileImpl::insertOrUpdateMember(cJSON* root, const std::string& key,
                                              const std::string& value) {
    cJSON* existing = cJSON_GetObjectItem(root, key.c_str());
    if (existing == nullptr) {
        VORN_LOG_DEBUG("Adding key-value");
        cJSON* item = cJSON_CreateString(value.c_str());
        if (item == nullptr) {
            VORN_LOG_ERROR("Failed to Create String Json");
            return false;
        }
        if (!cJSON_AddItemToObject(root, key.c_str(), item)) {
            cJSON_Delete(item);
            VORN_LOG_ERROR("Failed to Create String Json");
            return false;
        }
        VORN_LOG_DEBUG("Parsed JSON to Insert value for key[%s]", key.c_str());
        return true;
    }
    if (!cJSON_IsString(existing)) {
        VORN_LOG_ERROR("Invalid type [%d] of value for key[%s]", TypeCode(existing), key.c_str());
        return false;
    }
    // Replace in place under the member's existing key, so a key spelt
    // "VORN" in the file keeps that spelling.
    cJSON* item = cJSON_CreateString(value.c_str());
    const size_t nameLength = std::strlen(existing->string) + 1;
    char* name = item == nullptr ? nullptr : static_cast<char*>(cJSON_malloc(nameLength));
    if (name == nullptr) {
        cJSON_Delete(item);
        VORN_LOG_ERROR("Failed to Create String Json while replacing");
        return false;
    }
    std::memcpy(name, existing->string, nameLength);
    item->string = name;
    if (!cJSON_ReplaceItemViaPointer(root, existing, item)) {
        cJSON_Delete(item);
        VORN_LOG_ERROR("Failed to Create String Json while replacing");
        return false;
    }
    VORN_LOG_DEBUG("Parsed JSON to Update value for key[%s]", key.c_str());
    return true;
}

bool CVORNStoreFileImpl::readJSONKeyValueString(const std::string& text, const std::string& key,
                                                std::string& value) {
    value.clear();
    JsonPtr root(cJSON_ParseWithLength(text.data(), text.size()), cJSON_Delete);
    if (!root) {
        VORN_LOG_ERROR("Couldn't parse json to read: %s", key.c_str());
        return false;
    }
    const char* found = cJSON_IsObject(root.get())
                            ? cJSON_GetStringValue(cJSON_GetObjectItem(root.get(), key.c_str()))
                            : nullptr;
    if (found == nullptr) {
        VORN_LOG_WARNING("Couldn't get the key : %s", key.c_str());
        return false;
    }
    value = found;
    VORN_LOG_DEBUG("Parsed JSON to Read value for key[%s]", key.c_str());
    return true;
}

bool CVORNStoreFileImpl::serializeJson(const cJSON* tree, std::string& text) {
    text.clear();
    std::unique_ptr<char, decltype(&cJSON_free)> printed(cJSON_Print(tree), cJSON_free);
    if (!printed) {
        VORN_LOG_ERROR("Failed to allocate memory to serialize");
        return false;
    }
    try {
        text = printed.get();
    } catch (const std::bad_alloc&) {
        VORN_LOG_ERROR("Failed to allocate memory to serialize");
        return false;
    }
    return true;
}

}  // namespace vorn
