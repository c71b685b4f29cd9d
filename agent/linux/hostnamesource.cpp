#include "agent/linux/hostnamesource.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "common/vornlogger.h"

namespace vorn {

bool CHostNameSourceLinux::GetHostName(std::string& name) {
    char buffer[HOST_NAME_MAX + 1] = {};
    if (gethostname(buffer, sizeof(buffer) - 1) != 0) {
        VORN_LOG_ERRNO(CVORNLogger::kError, "gethostname failed");
        return false;
    }
    name = buffer;
    return !name.empty();
}

bool CHostNameSourceLinux::GetCanonicalName(const std::string& host, std::string& canonical) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* result = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &result);
    if (rc != 0) {
        VORN_LOG_DEBUG("No canonical name for %s: %s", host.c_str(), gai_strerror(rc));
        return false;
    }
    const bool found = result != nullptr && result->ai_canonname != nullptr;
    if (found) {
        canonical = result->ai_canonname;
    }
    freeaddrinfo(result);
    return found;
}

}  // namespace vorn
