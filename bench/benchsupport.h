// What the benchmark programs share: a typical identity request, collected
// from a fixture machine so that it is the same on every host.
#pragma once

#include <string>

#include "agent/identityservice.h"

namespace vorn::bench {

// The fixture machine the request is collected from (VORN_SYSROOT).
std::string FixtureMachine();

// The agent's collection of the fixture machine (its adapters and host name
// still come from this host), with business data and a stored identity.
IdentityServiceRequest TypicalRequest();

}  // namespace vorn::bench
