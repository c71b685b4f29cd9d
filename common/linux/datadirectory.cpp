#include "common/linux/datadirectory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vorn {

bool DataDirectoryIsSafe(const std::string& directory, std::string& why) {
    std::string path = directory;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    struct stat info {};
    if (path.empty() || ::lstat(path.c_str(), &info) != 0) {
        why = std::string("cannot be examined: ") + (path.empty() ? "no name" : strerror(errno));
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        why = S_ISLNK(info.st_mode) ? "is a symbolic link, not a directory" : "is not a directory";
        return false;
    }
    if ((info.st_uid != 0 && info.st_uid != ::geteuid()) ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char text[160];
        snprintf(text, sizeof text,
                 "is owned by uid %u with mode %04o; it must be owned by root or by the agent's "
                 "user and not writable by group or others",
                 static_cast<unsigned>(info.st_uid), static_cast<unsigned>(info.st_mode & 07777));
        why = text;
        return false;
    }
    return true;
}

}  // namespace vorn
