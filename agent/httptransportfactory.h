// The platform's HTTPS client, for the agent's cloud communicator.
#pragma once

#include <memory>

#include "agent/httptransport.h"

namespace vorn {

// A transport with the platform's time-outs and trusted certificates. Never
// null.
std::unique_ptr<IHttpTransport> CreateHttpTransport();

}  // namespace vorn
