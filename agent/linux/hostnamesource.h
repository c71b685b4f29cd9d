// Where the machine's host and domain names come from.
#pragma once

#include <functional>
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

    // Gives GetCanonicalName's result for 'host' when called (once).
    using PendingName = std::function<bool(std::string& canonical)>;
    // Starts the canonical-name lookup of 'host' now, for a caller that has
    // other work to do before it needs the answer. By default the lookup
    // runs when the answer is taken.
    virtual PendingName StartCanonicalName(const std::string& host);
};

// gethostname() and getaddrinfo(AI_CANONNAME). The lookup follows nsswitch.conf,
// normally answered from /etc/hosts; it is given 2 s and abandoned at once
// when the process stops (agent/linux/nameresolver.h).
class CHostNameSourceLinux : public IHostNameSource {
public:
    bool GetHostName(std::string& name) override;
    bool GetCanonicalName(const std::string& host, std::string& canonical) override;
    // The lookup runs on its thread from now on; the answer is waited for, as
    // GetCanonicalName does, when taken (the 2 s counted from now).
    PendingName StartCanonicalName(const std::string& host) override;
};

}  // namespace vorn
