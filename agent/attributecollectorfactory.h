// The platform's attribute collector, for the agent and the local client.
#pragma once

#include <memory>

#include "agent/attribute.h"

namespace vorn {

// A collector for the running machine (system root from VORN_SYSROOT, "/" by
// default). Never null; a machine whose sources cannot be read yields a
// collector whose attributes are simply fewer.
std::unique_ptr<IAttributeCollector> CreateAttributeCollector();

}  // namespace vorn
