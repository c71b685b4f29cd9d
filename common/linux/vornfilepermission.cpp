// Restricting the store file on Linux: the access list of the Windows build
// (administrators and the system account only) becomes mode 0600, owned by
// root when the agent runs as root, so only the agent's own account and the
// administrator can read the identity.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/vornlogger.h"
#include "common/vornstorefileimpl.h"

namespace vorn {

VORN_STATUS SetFilePermission(const std::string& path) {
    // Work on a descriptor so the checks and the changes apply to one file,
    // and never follow a link planted in place of the store.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        VORN_LOG_ERROR("Error: %d while setting named security info\n", errno);
        return VORN_ERROR;
    }
    VORN_STATUS status = VORN_OK;
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        VORN_LOG_ERROR("Error: %d while setting named security info\n", errno);
        status = VORN_ERROR;
    } else if (!S_ISREG(info.st_mode)) {
        // A directory or device in place of the store must not be re-moded.
        VORN_LOG_ERROR("Error: %d while setting named security info\n", EINVAL);
        status = VORN_ERROR;
    } else if (::geteuid() == 0 && info.st_uid != 0 &&
               ::fchown(fd, 0, static_cast<gid_t>(-1)) != 0) {
        VORN_LOG_ERROR("Error: %d while setting named security info\n", errno);
        status = VORN_ERROR;
    } else if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
        VORN_LOG_ERROR("Error: %d while setting named security info\n", errno);
        status = VORN_ERROR;
    }
    (void)::close(fd);
    if (status == VORN_OK) {
        VORN_LOG_DEBUG("Security permissions changed on target file: %s", path.c_str());
    }
    return status;
}

}  // namespace vorn
