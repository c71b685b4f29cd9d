// The vornctl commands. Each takes the arguments after its name and returns
// the process exit status.
#pragma once

#include <string>
#include <vector>

namespace vorn::ctl {

// Exit status for a command line that cannot be understood.
inline constexpr int kExitUsage = 64;

int RunRefresh(const std::vector<std::string>& args);
int RunStatus(const std::vector<std::string>& args);
int RunAttributes(const std::vector<std::string>& args);

}  // namespace vorn::ctl
