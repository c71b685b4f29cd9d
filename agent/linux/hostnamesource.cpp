#include "agent/linux/hostnamesource.h"

#include <unistd.h>

#include <climits>

#include "agent/linux/nameresolver.h"
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

IHostNameSource::PendingName IHostNameSource::StartCanonicalName(const std::string& host) {
    return [this, host](std::string& canonical) { return GetCanonicalName(host, canonical); };
}

IHostNameSource::PendingName CHostNameSourceLinux::StartCanonicalName(const std::string& host) {
    std::shared_ptr<CanonicalNameResolver::Pending> pending = SystemResolver().Start(host);
    return
        [pending](std::string& canonical) { return SystemResolver().Finish(*pending, canonical); };
}

bool CHostNameSourceLinux::GetCanonicalName(const std::string& host, std::string& canonical) {
    return ResolveCanonicalName(host, canonical);
}

}  // namespace vorn
