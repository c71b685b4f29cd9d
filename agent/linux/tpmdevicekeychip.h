// The TPM as a device key chip. Each session is a "vorn-tpm" helper process
// (agent/linux/tpm/tpmhelperprotocol.h), the only program that links the TPM
// software stack, started when the session opens and ended when it closes.
// Every answer is awaited for a bounded time; a helper that does not answer
// in time (a TPM that has stopped responding) is killed and reaped, so no
// wait on the TPM outlasts the bound and nothing is left running. A session's
// canceller ends its wait at once in the same way, for an owner that stops.
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
// 'commandTimeoutMs'; a helper answer, at most three times that and a second.
// Returns null with 'error' when the helper is not installed.
std::unique_ptr<IDeviceKeyChip> CreateTpmDeviceKeyChip(const std::string& tcti,
                                                       int commandTimeoutMs, std::string& error);

// Where the helper is looked for: "vorn-tpm" beside the running executable
// (a build tree), else in <prefix>/lib/vorn/ for an agent in <prefix>/bin/,
// where the package installs it. Both are writable by root only on an
// installed system.
std::string TpmHelperPath();

}  // namespace vorn
