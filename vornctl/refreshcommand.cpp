#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/linux/unixipcserver.h"
#include "common/refreshclient.h"
#include "common/textescape.h"
#include "common/vornpath.h"
#include "vornctl/commands.h"

namespace vorn::ctl {

namespace {

constexpr uint16_t kAgentPort = 60110;
constexpr int kExitNoAnswer = 5;
constexpr int kExitNotTheAgent = 6;

const char kRefreshUsage[] =
    "Usage: vornctl refresh [--timeout SECONDS] [--agent-uid UID] [--socket PATH | --udp]\n"
    "\n"
    "Sends a refresh request to the agent and waits for its answer (default 90 seconds:\n"
    "the agent may hold a request until 10 seconds after its last exchange with the\n"
    "cloud, and one exchange may take a minute). Prints the outcome: success, failed,\n"
    "comm-error, error-response or rate-limited.\n"
    "The request goes to the agent's Unix socket /run/vorn/vorn.sock (or PATH); the\n"
    "kernel reports which user serves it before anything is sent, and it must be root,\n"
    "or UID when the agent runs as that user (--agent-uid). Nobody else can answer on it.\n"
    "--udp uses the loopback datagram port 127.0.0.1:60110 instead, for testing\n"
    "compatibility: there any local user can forge the answer; vornctl checks that the\n"
    "socket bound to the port belongs to root (or UID), which narrows but cannot rule out\n"
    "a forged answer.\n"
    "Exit status: 0 success, 1 failed, 2 comm-error, 3 error-response, 4 rate-limited,\n"
    "5 no answer in time (or no agent running), 6 the socket is not the agent's\n"
    "(another user serves it; the answer is not believed).\n"
    "comm-error also means that no exchange could be made: business data (bs.json) or a\n"
    "mandatory attribute (see 'vornctl attributes') missing; the agent's log says which.\n";

constexpr uint16_t kOutcomeCommError = 2;

// comm-error alone does not say whether an exchange was even attempted: the
// agent answers it when the business data or a mandatory attribute is
// missing, as well as when the service cannot be reached. One line on
// standard error points at where the reason is written down.
void PrintCommErrorHint() {
    std::string dataDirectory;
    const std::string log = GetVORNDirectoryPath(dataDirectory) == VORN_OK
                                ? EscapeUntrusted(dataDirectory + "vornagent.log")
                                : std::string("vornagent.log in the data directory");
    fprintf(stderr,
            "vornctl refresh: comm-error: no identity could be obtained (business data or a "
            "mandatory attribute missing, or the identity service unreachable); see 'vornctl "
            "attributes' and the agent's log %s\n",
            log.c_str());
}

// success -> 0, failed -> 1; the other outcomes keep their own number.
int ExitStatusFor(uint16_t outcome) {
    switch (outcome) {
        case 1:
            return 0;
        case 2:
        case 3:
        case 4:
            return outcome;
        default:
            return 1;
    }
}

}  // namespace

int RunRefresh(const std::vector<std::string>& args) {
    // Covers the agent's default spacing of refreshes (10 s), the attribute
    // collection (its name lookup is given 2 s) and one whole exchange (60 s).
    double seconds = 90;
    uid_t agentUid = 0;
    bool udp = false;
    std::string socketPath = kLocalSocketPath;
    bool socketGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-h" || args[i] == "--help") {
            fputs(kRefreshUsage, stdout);
            return 0;
        }
        if (args[i] == "--timeout" && i + 1 == args.size()) {
            fputs("vornctl refresh: --timeout needs a number of seconds\n", stderr);
            return kExitUsage;
        }
        if (args[i] == "--timeout") {
            char* end = nullptr;
            seconds = strtod(args[i + 1].c_str(), &end);
            if (end == args[i + 1].c_str() || *end != '\0' || !(seconds > 0) || seconds > 86400) {
                fprintf(stderr, "vornctl refresh: --timeout takes seconds between 0 and 86400\n");
                return kExitUsage;
            }
            ++i;
            continue;
        }
        if (args[i] == "--udp") {
            udp = true;
            continue;
        }
        if (args[i] == "--socket" && i + 1 < args.size() && !args[i + 1].empty()) {
            socketPath = args[++i];
            socketGiven = true;
            continue;
        }
        if (args[i] == "--agent-uid" && i + 1 < args.size()) {
            const std::string& text = args[i + 1];
            char* end = nullptr;
            errno = 0;
            const unsigned long value = strtoul(text.c_str(), &end, 10);
            if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
                errno != 0 || *end != '\0' || value >= static_cast<unsigned long>(uid_t(-1))) {
                fprintf(stderr, "vornctl refresh: --agent-uid takes a numeric user id\n");
                return kExitUsage;
            }
            agentUid = static_cast<uid_t>(value);
            ++i;
            continue;
        }
        fprintf(stderr, "vornctl refresh: unexpected argument '%s'\n\n%s", args[i].c_str(),
                kRefreshUsage);
        return kExitUsage;
    }

    if (udp && socketGiven) {
        fputs("vornctl refresh: --udp and --socket exclude each other\n", stderr);
        return kExitUsage;
    }
    const std::chrono::milliseconds timeout(static_cast<long>(seconds * 1000));
    const RefreshResult result = udp ? RequestRefresh(kAgentPort, timeout, agentUid)
                                     : RequestRefreshLocal(socketPath, timeout, agentUid);
    const std::string where =
        udp ? "127.0.0.1:" + std::to_string(kAgentPort) : EscapeUntrusted(socketPath);
    switch (result.kind) {
        case RefreshResult::Kind::Answered:
            puts(RefreshOutcomeName(result.outcome).c_str());
            if (result.outcome == kOutcomeCommError) {
                PrintCommErrorHint();
            }
            return ExitStatusFor(result.outcome);
        case RefreshResult::Kind::NoAgent:
            fprintf(stderr, "vornctl refresh: no agent is listening on %s\n", where.c_str());
            return kExitNoAnswer;
        case RefreshResult::Kind::TimedOut:
            fprintf(stderr, "vornctl refresh: no answer from the agent within %g seconds\n",
                    seconds);
            return kExitNoAnswer;
        case RefreshResult::Kind::Untrusted:
            fprintf(stderr, "vornctl refresh: %s\n", EscapeUntrusted(result.error).c_str());
            return kExitNotTheAgent;
        case RefreshResult::Kind::SystemError:
            break;
    }
    fprintf(stderr, "vornctl refresh: %s\n", result.error.c_str());
    return kExitNoAnswer;
}

}  // namespace vorn::ctl
