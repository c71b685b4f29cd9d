// Entry point: brings the agent up in a fixed order, waits for the supervising
// process to ask for termination, and takes everything down in reverse.
#include <curl/curl.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "agent/linux/crashdumppruner.h"
#include "agent/linux/crashhandlerclient.h"
#include "agent/termination.h"
#include "agent/vornagent.h"
#include "agent/vornconfig.h"
#include "common/linux/datadirectory.h"
#include "common/linux/memoryrelease.h"
#include "common/linux/processstop.h"
#include "common/linux/servicenotifier.h"
#include "common/linux/unixipcserver.h"
#include "common/textescape.h"
#include "common/vornlogger.h"
#include "common/vornpath.h"
#include "common/vornutils.h"

namespace {
constexpr const char* kVersion = "1.1.34";
constexpr const char* kConfigPathOption = "--config-path";
constexpr const char* kSocketOption = "--socket";

constexpr const char* kHelp =
    "Usage: vorn --config-path DIRECTORY [--socket PATH]\n"
    "       vorn --help | -h | --version\n"
    "\n"
    "The device identity agent. DIRECTORY holds bs.json (business id, installer key,\n"
    "service URL) and id.json (enable_verbose_logs). The data directory (log\n"
    "vornagent.log, identity store vornstore.json) is the registry value DataDir under\n"
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Zanto\\Quoralis\\Tessellink\\VORN, read from the files\n"
    "in $VORN_REGISTRY_DIR (default /etc/vorn/registry.d).\n"
    "\n"
    "Local clients ask for a refresh on the Unix socket PATH (default\n"
    "/run/vorn/vorn.sock), where the kernel tells each side who the other is, and on\n"
    "the loopback UDP port 127.0.0.1:60110, whose answers any local user can forge.\n"
    "\n"
    "It stops on SIGTERM or SIGINT, when a byte arrives on standard input or when\n"
    "standard input ends (unless it is /dev/null).\n"
    "Exit status: 0 normal shutdown, 1 usage error, missing or unsafe data directory\n"
    "(owned by another user, or writable by group or others; nothing is written then)\n"
    "or unusable log file, 2 any other fatal error. A usage error is reported in the\n"
    "log only.\n";

// "vorn --help", "vorn -h" and "vorn --version" answer on standard output and
// end the process before anything else happens: no registry read, no log file,
// no crash handler, whatever the machine holds. Every other argument list goes
// the usual way. Returns true when the arguments were one of these requests.
bool AnswerInformationRequest(int argc, char* argv[], int& exitCode) {
    if (argc != 2) {
        return false;
    }
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        exitCode = fputs(kHelp, stdout) < 0 || fflush(stdout) != 0 ? 1 : 0;
        return true;
    }
    if (strcmp(argv[1], "--version") == 0) {
        exitCode = printf("vorn %s\n", kVersion) < 0 || fflush(stdout) != 0 ? 1 : 0;
        return true;
    }
    return false;
}
}  // namespace

int main(int argc, char* argv[]) {
    if (int exitCode = 0; AnswerInformationRequest(argc, argv, exitCode)) {
        return exitCode;
    }
    using namespace vorn;
    UseOneHeapArena();
    CaptureStdinState();
    // Before anything that takes time: a termination asked for during
    // start-up must be kept, not end the process by the signal's default.
    InstallTerminationSignals();
    try {
        // The log is opened only where the agent's data may live: without a
        // data directory it would land in whatever the working directory
        // is, and in a directory another user controls that user could
        // plant the file and read every serial number the agent logs.
        std::string dataDirectory;
        if (GetVORNDirectoryPath(dataDirectory) != VORN_OK) {
            fputs("Failed to get VORN Directory Path\n", stderr);
            fputs(
                "vorn: no data directory is configured (registry value DataDir); nothing was "
                "written\n",
                stderr);
            return 1;
        }
        if (std::string why; !DataDirectoryIsSafe(dataDirectory, why)) {
            fprintf(stderr, "vorn: data directory %s refused: it %s; nothing was written\n",
                    EscapeUntrusted(dataDirectory).c_str(), why.c_str());
            return 1;
        }
        CVORNLogger::GetInstance(dataDirectory + "vornagent.log");
        VORN_LOG_DEBUG("version: %s", kVersion);

        std::string crashDirectory;
        if (GetVORNDirectoryPath(crashDirectory) != VORN_OK) {
            VORN_LOG_ERROR("Could not get VORN Directory Path");
        }
        // Lives for the whole run; destroyed after the agent and configuration.
        CrashHandlerClient crashHandler(UTF8ToWide(crashDirectory), 2);
        (void)crashHandler.SetupCrashHandler();
        // Dumps of earlier runs: the newest few stay for analysis, older
        // ones would only fill the data directory over months.
        if (!crashDirectory.empty()) {
            (void)PruneCrashDumps(crashDirectory, kCrashDumpsKept);
        }

        if (argc < 3) {
            VORN_LOG_ERROR(
                "Error: not enough arguments.\nUsage: vorn.exe --config-path "
                "PathToJSONConfigDirectory");
            return 1;
        }
        std::string socketPath = kLocalSocketPath;
        for (int i = 0; i < argc;) {
            const bool isOption = strcmp(argv[i], kConfigPathOption) == 0;
            const bool isSocket = strcmp(argv[i], kSocketOption) == 0;
            ++i;
            if (isOption && i < argc) {
                // The directory is a file name: its bytes are used as given.
                (void)SetVORNConfigDirectory(std::string(argv[i]));
            } else if (isSocket && i < argc) {
                socketPath = argv[i];
            }
        }

        CVORNConfig config;
        if (config.m_bEnableVerboseLogs) {
            CVORNLogger::GetInstance(std::string()).SetLogLevel(CVORNLogger::kVerbose);
        }

        // Process-wide set-up that must happen before any thread starts.
        signal(SIGPIPE, SIG_IGN);
        curl_global_init(CURL_GLOBAL_DEFAULT);

        AgentComponents components;
        components.localSocketPath = socketPath;
        CVORNAgent agent(std::move(components));
        // The endpoint serves from here on; the agent's outcomes follow as
        // status lines.
        NotifyServiceReady();
        std::thread mainThread([&agent] {
            try {
                (void)agent.MainThreadProc();
            } catch (const std::exception& e) {
                EndProcessAfterThreadFailure("agent main", e.what());
            } catch (...) {
                EndProcessAfterThreadFailure("agent main", "unknown exception");
            }
        });

        // Returns at once when the termination came during start-up.
        WaitForTermination();

        // From here every wait that could hold up the main thread (a name
        // lookup, a store lock) gives up at once.
        RequestProcessStop();
        agent.ShutDown();
        mainThread.join();
        return 0;
    } catch (const CVORNLogger::logger_exception& e) {
        // The text names the log file, whose directory comes from outside.
        fprintf(stderr, "Fatal error: %s\n", EscapeUntrusted(e.what()).c_str());
        return 1;
    } catch (const std::exception& e) {
        VORN_LOG_ERROR("Fatal error [%s]", EscapeUntrusted(e.what()).c_str());
        return 2;
    }
}
