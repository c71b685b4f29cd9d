#include "common/linux/registrycache.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

namespace vorn {

namespace {

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

void WriteProblems(const RegistrySnapshot& snapshot) {
    for (const std::string& problem : snapshot.m_problems) {
        fprintf(stderr, "%s\n", problem.c_str());
    }
}

thread_local CRegistryReadScope* t_pInnermostScope = nullptr;

}  // namespace

bool CRegistryCache::FileState::operator==(const FileState& other) const {
    return m_strName == other.m_strName && m_error == other.m_error && m_dev == other.m_dev &&
           m_ino == other.m_ino && m_mode == other.m_mode && m_size == other.m_size &&
           SameTime(m_mtime, other.m_mtime) && SameTime(m_ctime, other.m_ctime);
}

bool CRegistryCache::Signature::operator==(const Signature& other) const {
    return m_bListed == other.m_bListed && m_files == other.m_files;
}

timespec CRegistryCache::SystemClock() {
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

CRegistryCache::CRegistryCache(Clock clock) : m_clock(std::move(clock)) {}

CRegistryCache& CRegistryCache::Process() {
    static CRegistryCache cache;
    return cache;
}

unsigned long CRegistryCache::Parses() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_parses;
}

CRegistryCache::Signature CRegistryCache::Take(const std::string& directory,
                                               std::vector<std::string>& names) {
    Signature signature;
    signature.m_bListed = CRegistryHive::ListFiles(directory, names);
    signature.m_files.reserve(names.size());
    std::string path;
    for (const std::string& name : names) {
        FileState file;
        file.m_strName = name;
        path = directory;
        path += '/';
        path += name;
        struct stat info {};
        // The file as the parse opens it: through a symbolic link, its target.
        if (stat(path.c_str(), &info) != 0) {
            file.m_error = errno;
        } else {
            file.m_dev = info.st_dev;
            file.m_ino = info.st_ino;
            file.m_mode = info.st_mode;
            file.m_size = info.st_size;
            file.m_mtime = info.st_mtim;
            file.m_ctime = info.st_ctim;
        }
        signature.m_files.push_back(std::move(file));
    }
    return signature;
}

bool CRegistryCache::Settled(const Signature& signature, const timespec& now) {
    const time_t settledBefore = now.tv_sec - kSettleSeconds;
    for (const FileState& file : signature.m_files) {
        if (file.m_error == 0 &&
            (file.m_mtime.tv_sec >= settledBefore || file.m_ctime.tv_sec >= settledBefore)) {
            return false;
        }
    }
    return true;
}

std::shared_ptr<const RegistrySnapshot> CRegistryCache::Load(const std::string& directory) {
    // The clock is read before the files are looked at, so that a change made
    // during the parse counts as recent.
    const timespec now = m_clock();
    std::vector<std::string> names;
    Signature signature = Take(directory, names);
    std::shared_ptr<const RegistrySnapshot> snapshot;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_spKept && m_strDirectory == directory && m_signature == signature) {
            snapshot = m_spKept;
        }
    }
    if (!snapshot) {
        // Files that change between the listing and the parse leave a hive
        // newer than its signature: the next load sees the difference and
        // parses again.
        auto parsed = std::make_shared<RegistrySnapshot>();
        parsed->m_hive.LoadFiles(directory, names, parsed->m_problems);
        snapshot = parsed;
        const bool keep = Settled(signature, now);
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_parses;
        if (keep) {
            m_strDirectory = directory;
            m_signature = std::move(signature);
            m_spKept = snapshot;
        } else if (m_strDirectory == directory) {
            m_spKept.reset();
        }
    }
    WriteProblems(*snapshot);
    return snapshot;
}

CRegistryReadScope::CRegistryReadScope() : m_pOuter(t_pInnermostScope) {
    t_pInnermostScope = this;
}

CRegistryReadScope::~CRegistryReadScope() {
    t_pInnermostScope = m_pOuter;
}

std::shared_ptr<const RegistrySnapshot> CRegistryReadScope::Read(const std::string& directory) {
    CRegistryReadScope* scope = t_pInnermostScope;
    if (scope != nullptr && scope->m_spSnapshot && scope->m_strDirectory == directory) {
        WriteProblems(*scope->m_spSnapshot);
        return scope->m_spSnapshot;
    }
    std::shared_ptr<const RegistrySnapshot> snapshot = CRegistryCache::Process().Load(directory);
    if (scope != nullptr) {
        scope->m_strDirectory = directory;
        scope->m_spSnapshot = snapshot;
    }
    return snapshot;
}

}  // namespace vorn
