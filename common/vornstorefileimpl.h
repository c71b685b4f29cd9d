// The identity store as one JSON file guarded by a companion lock file.
//
// File: a JSON object of string members, exactly as cJSON_Print writes it
// (tabs, one member per line, members in first-insertion order). Keys are
// looked up without regard to ASCII letter case and a replaced value keeps
// its member's place and key spelling. Trailing bytes after the object and
// CR LF line ends are accepted when reading.
//
// Locking: "<store path>.lck" (mode 0600, never read or written) is locked
// shared by every reader and exclusively by the writer, for the whole file,
// across processes and between threads; requests block without a time limit.
// Any other program that reads the store should take the same shared lock.
//
// Durability: a write builds the complete new text, writes it to
// "<store path>.tmp" (mode 0600), flushes it to disk, renames it over the
// store file and flushes the directory, all under the exclusive lock. A
// crash, kill or power loss at any instant leaves either the old or the new
// file, never an empty or partial one.
#pragma once

#include <string>

#include "common/vornstoreinterface.h"

struct cJSON;

namespace vorn {

// Restricts 'path' to its owner: mode 0600, and owner root when the process
// runs as root. Refuses anything but a regular file and never follows a link.
// VORN_OK on success; VORN_ERROR (after logging) on any failure.
VORN_STATUS SetFilePermission(const std::string& path);

class CVORNStoreFileImpl : public IVORNStoreInterface {
public:
    enum OpenMode {
        // The agent: creates the lock file and the store file as needed.
        eOpenReadWrite,
        // A client that only looks (vornctl): creates nothing, takes only
        // shared locks (read access to the lock file suffices), and every
        // write fails with VORN_ERROR.
        eOpenReadOnly,
    };

    explicit CVORNStoreFileImpl(OpenMode mode = eOpenReadWrite) : m_eMode(mode) {}
    ~CVORNStoreFileImpl() override = default;
    CVORNStoreFileImpl(const CVORNStoreFileImpl&) = delete;
    CVORNStoreFileImpl& operator=(const CVORNStoreFileImpl&) = delete;

    // Records the paths and, in read-write mode, creates the lock file if it
    // is missing (a failure is ignored here and reported by the next access).
    // Always VORN_OK; an empty path leaves the object uninitialised.
    VORN_STATUS Initialize(const std::string& storePath) override;

    // Under a shared lock. VORN_OK with the value; VORN_FAILED when the lock
    // file is missing, the store file is missing, empty, not JSON, or lacks
    // the key as a string member; VORN_ERROR when not initialised.
    VORN_STATUS ReadKeyValue(const std::string& key, std::string& value) override;

    // Under the exclusive lock for the whole read-modify-write. The first
    // write of the process, and any write that finds the store file missing,
    // first creates it and restricts it with SetFilePermission. VORN_OK when
    // the new file is in place; VORN_ERROR otherwise, the store unchanged. A
    // member holding a non-string value is never overwritten.
    VORN_STATUS WriteKeyValue(const std::string& key, const std::string& value) override;
    VORN_STATUS WriteKeyValues(const KeyValueList& keyValues) override;

    const std::string& GetStorePath() const { return m_strStorePath; }
    const std::string& GetLockFilePath() const { return m_strLockFilePath; }

private:
    // Applies every key of 'keyValues' to the store text 'text' (empty text:
    // a new object) and replaces 'text' with the printed result.
    bool insertOrUpdateJSONKeyValueString(const KeyValueList& keyValues, std::string& text);
    bool insertOrUpdateMember(cJSON* root, const std::string& key, const std::string& value);
    bool readJSONKeyValueString(const std::string& text, const std::string& key,
                                std::string& value);
    bool serializeJson(const cJSON* tree, std::string& text);
    // Creates the store file if missing and restricts it, once per process
    // or whenever the file has gone.
    bool ensureStoreFileProtected();
    // Replaces the store file with 'text' through the temporary file.
    bool replaceStoreFile(const std::string& text);

    std::string m_strStorePath;
    std::string m_strLockFilePath;
    const OpenMode m_eMode;
};

}  // namespace vorn
