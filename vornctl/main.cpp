// vornctl: the local client for administrators and scripts.
//   vornctl refresh [--timeout SECONDS] [--agent-uid UID]
//                                         ask the running agent to refresh the identity
//   vornctl status [--json]               show the identity the store holds
//   vornctl attributes                    show what this machine reports to the cloud
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vornctl/commands.h"

namespace {

const char kUsage[] =
    "Usage: vornctl COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  refresh [--timeout SECONDS] [--agent-uid UID]\n"
    "                               Ask the running agent to refresh the identity and print the\n"
    "                               outcome. Exit status: 0 success, 1 failed, 2 comm-error,\n"
    "                               3 error-response, 4 rate-limited, 5 no answer in time,\n"
    "                               6 the port is held by another user (answer not believed).\n"
    "  status [--json]              Show the stored identity (never the token or key values).\n"
    "                               Exit status 0 when an identity is held, 1 when not,\n"
    "                               77 permission denied (run as root).\n"
    "  attributes                   Collect the device attributes as the agent does and print\n"
    "                               the \"hardware\", \"os\" and \"misc\" sections as JSON.\n"
    "\n"
    "Run 'vornctl COMMAND --help' for a command's options.\n"
    "Environment: VORN_REGISTRY_DIR (registry files, default /etc/vorn/registry.d),\n"
    "             VORN_SYSROOT (system root for attribute collection, default /).\n";

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        fputs(kUsage, stderr);
        return vorn::ctl::kExitUsage;
    }
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "-h" || command == "--help" || command == "help") {
        fputs(kUsage, stdout);
        return 0;
    }
    if (command == "refresh") {
        return vorn::ctl::RunRefresh(args);
    }
    if (command == "status") {
        return vorn::ctl::RunStatus(args);
    }
    if (command == "attributes") {
        return vorn::ctl::RunAttributes(args);
    }
    fprintf(stderr, "vornctl: unknown command '%s'\n\n%s", command.c_str(), kUsage);
    return vorn::ctl::kExitUsage;
}
