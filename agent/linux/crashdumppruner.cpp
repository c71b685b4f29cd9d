#include "agent/linux/crashdumppruner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/textescape.h"
#include "common/vornlogger.h"

namespace vorn {

namespace {

// A non-empty run of decimal digits at 'at', which is moved past it.
bool SkipDigits(const std::string& name, size_t& at) {
    const size_t start = at;
    while (at < name.size() && name[at] >= '0' && name[at] <= '9') {
        ++at;
    }
    return at > start;
}

struct Dump {
    std::string name;
    struct timespec modified;
};

bool Newer(const Dump& a, const Dump& b) {
    if (a.modified.tv_sec != b.modified.tv_sec) {
        return a.modified.tv_sec > b.modified.tv_sec;
    }
    if (a.modified.tv_nsec != b.modified.tv_nsec) {
        return a.modified.tv_nsec > b.modified.tv_nsec;
    }
    return a.name > b.name;
}

}  // namespace

bool IsCrashDumpName(const std::string& name) {
    static const std::string kSuffix = ".core";
    if (name.size() <= kSuffix.size() ||
        name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
        return false;
    }
    const std::string stem = name.substr(0, name.size() - kSuffix.size());
    // Read from the end: the program's name may itself hold dashes. The
    // pid and the seconds, perhaps a counter, follow a name of at least one
    // character.
    size_t groups = 0;
    size_t end = stem.size();
    while (end > 0 && groups < 3) {
        const size_t dash = stem.rfind('-', end - 1);
        size_t at = dash + 1;
        if (dash == std::string::npos || !SkipDigits(stem, at) || at != end) {
            break;
        }
        ++groups;
        end = dash;
    }
    return groups >= 2 && end > 0;
}

size_t PruneCrashDumps(const std::string& directory, size_t keep) {
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) {
        return 0;
    }
    DIR* listing = ::fdopendir(dirFd);
    if (listing == nullptr) {
        ::close(dirFd);
        return 0;
    }
    std::vector<Dump> dumps;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        struct stat info {};
        if (!IsCrashDumpName(name) ||
            ::fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode)) {
            continue;
        }
        dumps.push_back(Dump{name, info.st_mtim});
    }
    size_t removed = 0;
    if (dumps.size() > keep) {
        std::sort(dumps.begin(), dumps.end(), Newer);
        for (size_t i = keep; i < dumps.size(); ++i) {
            const std::string shown = EscapeUntrusted(dumps[i].name, 256);
            if (::unlinkat(dirFd, dumps[i].name.c_str(), 0) == 0) {
                ++removed;
                VORN_LOG_DEBUG("Removed old crash dump [%s]", shown.c_str());
            } else {
                VORN_LOG_ERRNO(CVORNLogger::kWarning, "Failed to remove old crash dump [%s]",
                               shown.c_str());
            }
        }
    }
    ::closedir(listing);  // closes dirFd too
    return removed;
}

}  // namespace vorn
