// vornctl: the local client for administrators and scripts.
//   vornctl refresh [--timeout SECONDS] [--agent-uid UID] [--socket PATH | --udp]
//                                         ask the running agent to refresh the identity
//   vornctl status [--json]               show the identity the store holds
//   vornctl attributes [--verbose]        show what this machine reports to the cloud
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/helpermessages.h"
#include "vornctl/commands.h"

namespace {

const char kUsage[] =
    "Usage: vornctl COMMAND [OPTIONS]\n"
    "       vornctl --help | --version\n"
    "\n"
    "Commands:\n"
    "  refresh [--timeout SECONDS] [--agent-uid UID] [--socket PATH | --udp]\n"
    "                               Ask the running agent, on its Unix socket (default\n"
    "                               /run/vorn/vorn.sock; --udp: the loopback port, whose\n"
    "                               answers any local user can forge), to refresh the\n"
    "                               identity and print the outcome (default time-out 90\n"
    "                               seconds). Exit status:\n"
    "                               0 success, 1 failed, 2 comm-error, 3 error-response,\n"
    "                               4 rate-limited, 5 no answer in time, 6 the socket is held by\n"
    "                               another user (the answer is not believed).\n"
    "  status [--json]              Show the stored identity (never the token or key values).\n"
    "                               Exit status 0 when an identity is held, 1 when not,\n"
    "                               77 permission denied (run as root).\n"
    "  attributes [--verbose]       Collect the device attributes as the agent does and print\n"
    "                               the \"hardware\", \"os\" and \"misc\" sections as JSON;\n"
    "                               --verbose also writes the collector's log lines to\n"
    "                               standard error.\n"
    "\n"
    "Options:\n"
    "  -h, --help                   Show this text (after a command: that command's help).\n"
    "  --version                    Show the version.\n"
    "\n"
    "A command line that cannot be understood exits with status 64.\n"
    "Environment: VORN_REGISTRY_DIR (registry files, default /etc/vorn/registry.d),\n"
    "             VORN_SYSROOT (system root for attribute collection, default /).\n";

}  // namespace

int main(int argc, char* argv[]) {
    // vornctl explains every failure in its own words; the registry helpers'
    // raw lines ("Failed to fetch registry handle." for a sibling product that
    // is not installed) would only alarm on a healthy machine.
    vorn::SetHelperMessagesQuiet(true);
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
    if (command == "--version") {
        printf("vornctl %s\n", VORN_VERSION);
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
