// Where the machine's host and domain names come from.
#pragma once

#include <string>

namespace vorn {

class IHostNameSource {
public:
    virtual ~IHostNameSource() = default;
    // The host name as the kernel knows it. False when it cannot be read.
    virtual bool GetHostName(std::string& name) = 0;
    // The canonical (fully qualified) name the resolver gives 'host'. False when
    // the resolver has none.
    virtual bool GetCanonicalName(const std::string& host, std::string& canonical) = 0;
};

// gethostname() and getaddrinfo(AI_CANONNAME). The lookup follows nsswitch.conf,
// normally answered from /etc/hosts; it is given 2 s and abandoned at once
// when the process stops (agent/linux/nameresolver.h).
class CHostNameSourceLinux : public IHostNameSource {
public:
    bool GetHostName(std::string& name) override;
    bool GetCanonicalName(const std::string& host, std::string& canonical) override;
};

}  // namespace vorn
