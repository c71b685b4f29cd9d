#include "common/linux/vornfilelock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorn {

namespace {

std::string ErrorText(int error) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in 'buffer'.
    return strerror_r(error, buffer, sizeof(buffer));
}

}  // namespace

CVORNFileLock::~CVORNFileLock() {
    if (m_nFd >= 0) {
        // Closing the last descriptor of the open file description releases
        // its lock.
        (void)::close(m_nFd);
    }
}

bool CVORNFileLock::Lock(const std::string& path, Mode mode, std::string& errorText) {
    // An exclusive (write) lock needs a descriptor open for writing.
    const int flags = (mode == Mode::Exclusive ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY;
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0) {
        errorText = ErrorText(errno) + ": " + path;
        return false;
    }
    struct flock request {};
    request.l_type = (mode == Mode::Exclusive) ? F_WRLCK : F_RDLCK;
    request.l_whence = SEEK_SET;
    request.l_start = 0;
    request.l_len = 0;  // the whole file, however long
    int result;
    do {
        result = ::fcntl(fd, F_OFD_SETLKW, &request);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        errorText = ErrorText(errno) + ": " + path;
        (void)::close(fd);
        return false;
    }
    m_nFd = fd;
    return true;
}

}  // namespace vorn
