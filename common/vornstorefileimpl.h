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
// across processes and between threads. The agent creates it again whenever
// it is missing. A request that is not granted within 10 s fails (another
// process holding the lock must not stall the agent), and so does one made
// or waiting once the process is asked to stop (ProcessStopRequested).
// Any other program that reads the store should take the same shared lock.
//
// Files in the data directory are hostile until checked: the store, its lock
// file and the temporary file are never reached through a link, a FIFO or
// device in their place fails the operation at once instead of blocking it,
// and whatever the agent creates is mode 0600. A process running as root
// refuses (every read and write fails, with an error line) a data directory
// that is not owned by root or that group or others may write.
//
// Healing: a store file that does not parse as JSON at all cannot be read or
// updated, so the next write moves it aside to
// "<store path>.damaged-<UTC yyyymmddThhmmssZ>" (0600; the copy just made
// and the two others moved aside last are kept, whatever the clock said when
// each was named) with an error line and writes a fresh store holding just
// the new keys. A file that parses (an array, a member of the wrong type) is
// never moved: the write fails as before.
//
// Durability: a write builds the complete new text, writes it to
// "<store path>.tmp" (mode 0600), flushes it to disk, renames it over the
// store file and flushes the directory, all under the exclusive lock. A
// crash, kill or power loss at any instant leaves either the old or the new
// file, never an empty or partial one; before the first write completes
// there is no store file at all (a 0-byte store, left by older versions,
// still reads as holding nothing). A write whose directory flush fails has
// put the new file in place but reports VORN_ERROR: it may not survive a
// power loss.
#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/vornstoreinterface.h"

struct cJSON;

namespace vorn {

class CVORNFileLock;

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
    // file is missing (read-only mode) or not granted in time, the store file
    // is missing, empty, not JSON, or lacks the key as a string member;
    // VORN_ERROR when not initialised.
    VORN_STATUS ReadKeyValue(const std::string& key, std::string& value) override;

    // Reads every key of 'keys' under one shared lock, so the values belong
    // to one version of the store. 'values' gets one entry per key, empty for
    // a key that is absent or not a string. VORN_OK when the store file was
    // read and parsed; VORN_FAILED otherwise, with 'openError' the errno that
    // kept the lock file or the store file from being opened (0 for any other
    // reason); VORN_ERROR when not initialised.
    VORN_STATUS ReadKeyValues(const std::vector<std::string>& keys,
                              std::vector<std::string>& values, int& openError);

    // Under the exclusive lock for the whole read-modify-write. The first
    // write of the process restricts an existing store file with
    // SetFilePermission; a missing one is created by the replace, restricted.
    // VORN_OK when the new file is in place and flushed; VORN_ERROR
    // otherwise, the store unchanged, except when only the directory's flush
    // failed (the new file is in place, its durability unknown). A member
    // holding a non-string value is never overwritten.
    VORN_STATUS WriteKeyValue(const std::string& key, const std::string& value) override;
    VORN_STATUS WriteKeyValues(const KeyValueList& keyValues) override;

    const std::string& GetStorePath() const { return m_strStorePath; }
    const std::string& GetLockFilePath() const { return m_strLockFilePath; }

    // How long a lock request may wait for another holder (default 10 s).
    void SetLockTimeout(std::chrono::milliseconds timeout) { m_lockTimeout = timeout; }
    // The wall clock that names a damaged copy (default: time()).
    void SetClock(std::function<std::time_t()> now) { m_fnNow = std::move(now); }

    // Until EndLockBudget, every lock request shares 'total' waiting time
    // (each waits at most what the earlier ones left, and at most the lock
    // timeout), and once one was not granted the later ones fail at once
    // with an error line. One refresh of the identity is one budget, so a
    // lock held by another process delays its answer once, not once per
    // access. Not thread-safe: the caller serialises, as for every operation.
    void BeginLockBudget(std::chrono::milliseconds total);
    void EndLockBudget();
    // Replaces the flush of the data directory after a rename (tests make
    // it fail; default: fsync of the directory).
    void SetDirectoryFlushForTesting(std::function<bool(const std::string&)> flush) {
        m_fnFlushDirectory = std::move(flush);
    }
    // Whether a lock request of the running budget was not granted.
    bool LockRefused() const { return m_budget && m_budget->refused; }

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
    // Renames the store file to its next damaged-copy name and drops the
    // oldest copies beyond three. False (after logging) when it could not be
    // moved, so nothing is lost by writing over it.
    bool moveDamagedStoreAside();
    // In read-write mode as root: false (after logging why) when the data
    // directory may be changed by someone other than root.
    bool dataDirectoryIsSafe() const;
    // Takes the lock file in 'mode', creating it in read-write mode, within
    // the lock budget when one is running.
    bool lock(CVORNFileLock& lock, bool exclusive, int* openError);

    struct LockBudget {
        std::chrono::milliseconds left;
        bool refused;
    };

    std::string m_strStorePath;
    std::string m_strLockFilePath;
    const OpenMode m_eMode;
    std::chrono::milliseconds m_lockTimeout{10000};
    std::function<std::time_t()> m_fnNow;
    std::optional<LockBudget> m_budget;
    std::function<bool(const std::string&)> m_fnFlushDirectory;
};

}  // namespace vorn
