// The TPM as a device key chip, through the agent's TPM module
// ("vorn-tpm.so"), which alone links the TPM software stack. The module is
// loaded on first use and stays loaded until this object goes.
#pragma once

#include <memory>
#include <string>

#include "agent/devicekeychip.h"

namespace vorn {

// The kernel's TPM resource manager: it flushes whatever a process left in
// the TPM when the process goes, and lets several programs share the TPM.
inline constexpr const char* kDefaultTpmTcti = "device:/dev/tpmrm0";

// Creates the chip for a TCTI configuration string ("device:/dev/tpmrm0",
// "swtpm:host=127.0.0.1,port=2321"). Each TPM command waits at most
// 'commandTimeoutMs'. Returns null with 'error' when the module cannot be
// loaded (not installed, or of another version).
std::unique_ptr<IDeviceKeyChip> CreateTpmDeviceKeyChip(const std::string& tcti,
                                                       int commandTimeoutMs, std::string& error);

// Where the module is looked for: "vorn-tpm.so" beside the running
// executable (a build tree), else in the library directory the package
// installs it to. Both are writable by root only on an installed system.
std::string TpmModulePath();

}  // namespace vorn
