// The registry directory, parsed once and kept while its files stay as they
// were. Every read still answers exactly as a fresh read of the directory
// would, problems on standard error included: before a kept hive is handed
// out, the directory is listed again and each file's identity, size and
// times compared with those it was parsed from.
#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/registryhive.h"

namespace vorn {

// One parse of a registry directory: the merged hive and the problems the
// parse found, each the line written to standard error for it.
struct RegistrySnapshot {
    CRegistryHive m_hive;
    std::vector<std::string> m_problems;
};

class CRegistryCache {
public:
    // The wall clock file times are compared with.
    using Clock = std::function<timespec()>;
    static timespec SystemClock();

    // A file changed within this time of a parse may change again without
    // its times showing it (file systems stamp times from a coarse clock):
    // a hive parsed from such a file is not kept.
    static constexpr time_t kSettleSeconds = 2;

    explicit CRegistryCache(Clock clock = SystemClock);
    CRegistryCache(const CRegistryCache&) = delete;
    CRegistryCache& operator=(const CRegistryCache&) = delete;

    // The hive of 'directory' as it is now, writing its problems to standard
    // error. Any thread.
    std::shared_ptr<const RegistrySnapshot> Load(const std::string& directory);

    // How many times Load has parsed the files rather than reused a hive.
    unsigned long Parses() const;

    // The one the registry reads of this process share.
    static CRegistryCache& Process();

private:
    // What a file looked like when listed: a change of content, a rename
    // over it or a replacement shows in one of these.
    struct FileState {
        std::string m_strName;
        int m_error = 0;  // errno of stat, 0 when it succeeded
        dev_t m_dev = 0;
        ino_t m_ino = 0;
        mode_t m_mode = 0;
        off_t m_size = 0;
        timespec m_mtime{};
        timespec m_ctime{};
        bool operator==(const FileState& other) const;
    };
    struct Signature {
        bool m_bListed = false;
        std::vector<FileState> m_files;
        bool operator==(const Signature& other) const;
    };
    static Signature Take(const std::string& directory, std::vector<std::string>& names);
    static bool Settled(const Signature& signature, const timespec& now);

    Clock m_clock;
    mutable std::mutex m_mutex;
    std::string m_strDirectory;                        // guarded by m_mutex
    Signature m_signature;                             // guarded by m_mutex
    std::shared_ptr<const RegistrySnapshot> m_spKept;  // guarded by m_mutex; null: none
    unsigned long m_parses = 0;                        // guarded by m_mutex
};

// While one lives, registry reads on its thread share one snapshot per
// directory: a collection reads the registry once, and the next collection
// reads it again. Problems are still written at every read.
class CRegistryReadScope {
public:
    CRegistryReadScope();
    ~CRegistryReadScope();
    CRegistryReadScope(const CRegistryReadScope&) = delete;
    CRegistryReadScope& operator=(const CRegistryReadScope&) = delete;

    // The snapshot of 'directory': the innermost scope's of this thread when
    // there is one, else a fresh load from the process's cache.
    static std::shared_ptr<const RegistrySnapshot> Read(const std::string& directory);

private:
    CRegistryReadScope* m_pOuter;
    std::string m_strDirectory;
    std::shared_ptr<const RegistrySnapshot> m_spSnapshot;
};

}  // namespace vorn
