#include <cstdio>

#include "vornctl/commands.h"

namespace vorn::ctl {

int RunAttributes(const std::vector<std::string>& /*args*/) {
    fputs("vornctl attributes: not available in this build\n", stderr);
    return 1;
}

}  // namespace vorn::ctl
