// Collects the attributes the identity request reports about this machine:
// firmware serial and UUID, root partition, disks, operating system, host and
// domain name, virtualisation, network adapters and the sibling products'
// identifiers. Every step that fails costs its own attributes and one error
// line, never the collection.
#pragma once

#include <list>
#include <memory>
#include <string>

#include "agent/attribute.h"
#include "agent/linux/wmiinterface.h"
#include "agent/networkadapters.h"

namespace vorn {

class IHostNameSource;

class CAttributeCollectorLinux : public IAttributeCollector {
public:
    // The running machine: system root from VORN_SYSROOT, getifaddrs() and
    // the resolver.
    CAttributeCollectorLinux();
    // A machine under 'sysRoot' (files, markers), with the given adapters and
    // host names.
    CAttributeCollectorLinux(const std::string& sysRoot,
                             std::shared_ptr<INetworkAdapterSource> adapters,
                             std::shared_ptr<IHostNameSource> hostNames);
    // Any query source, for tests that fake the query results themselves.
    CAttributeCollectorLinux(std::unique_ptr<WMIInterface> wmi, const std::string& sysRoot,
                             std::shared_ptr<INetworkAdapterSource> adapters);
    ~CAttributeCollectorLinux() override;

    // Empties 'attributes' and appends every attribute that can be read, in a
    // fixed order. Always VORN_OK. Called from one thread at a time.
    VORN_STATUS GetAttributeList(std::list<CAttribute>& attributes) override;

private:
    VORN_STATUS getBIOSSerialNumber(std::list<CAttribute>& attributes);
    VORN_STATUS getBIOSUUID(std::list<CAttribute>& attributes);
    VORN_STATUS getPartitionID(std::list<CAttribute>& attributes);
    VORN_STATUS getDiskInfo(std::list<CAttribute>& attributes);
    VORN_STATUS getOSDetails(std::list<CAttribute>& attributes);
    VORN_STATUS getKernelRelease(std::list<CAttribute>& attributes);
    VORN_STATUS getFQDNComponents(std::list<CAttribute>& attributes);
    VORN_STATUS getIsVirtualMachine(std::list<CAttribute>& attributes);
    VORN_STATUS getAdapterList(std::list<CAttribute>& attributes);
    VORN_STATUS getOXAGUID(std::list<CAttribute>& attributes);
    VORN_STATUS getMVUDID(std::list<CAttribute>& attributes);

    std::unique_ptr<WMIInterface> m_wmi;
    std::string m_strSysRoot;
    std::shared_ptr<INetworkAdapterSource> m_spAdapters;
};

// Splits "10.0.19045" into "10" and "0"; a version without a dot gives two
// empty parts.
void SplitVersion(const std::string& version, std::string& major, std::string& minor);

}  // namespace vorn
