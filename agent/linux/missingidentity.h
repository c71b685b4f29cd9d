// Why a machine cannot be given an identity: the cloud refuses a request
// without the firmware serial number, the firmware UUID or the host name, and
// an administrator needs to know which source failed and how.
#pragma once

#include <list>
#include <string>
#include <vector>

#include "agent/attribute.h"

namespace vorn {

// One line per mandatory attribute ("serial_number", "uuid", "hostname")
// absent from 'attributes', saying which source failed and why, for example
// "no firmware serial number: /sys/class/dmi/id/product_serial does not exist
// (no DMI on this machine)". Empty when all three are present. Paths are those
// under 'sysRoot'; the text is escaped for a terminal.
std::vector<std::string> ExplainMissingIdentity(const std::list<CAttribute>& attributes,
                                                const std::string& sysRoot);

}  // namespace vorn
