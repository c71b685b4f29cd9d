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

#include "agent/linux/crashhandlerclient.h"
#include "agent/termination.h"
#include "agent/vornagent.h"
#include "agent/vornconfig.h"
#include "common/linux/processstop.h"
#include "common/linux/servicenotifier.h"
#include "common/vornlogger.h"
#include "common/vornpath.h"
#include "common/vornutils.h"

namespace {
constexpr const char* kVersion = "1.1.34";
constexpr const char* kConfigPathOption = "--config-path";
}  // namespace

int main(int argc, char* argv[]) {
    using namespace vorn;
    CaptureStdinState();
    // Before anything that takes time: a termination asked for during
    // start-up must be kept, not end the process by the signal's default.
    InstallTerminationSignals();
    try {
        std::string dataDirectory;
        if (GetVORNDirectoryPath(dataDirectory) != VORN_OK) {
            fputs("Failed to get VORN Directory Path\n", stderr);
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

        if (argc < 3) {
            VORN_LOG_ERROR(
                "Error: not enough arguments.\nUsage: vorn.exe --config-path "
                "PathToJSONConfigDirectory");
            return 1;
        }
        for (int i = 0; i < argc;) {
            const bool isOption = strcmp(argv[i], kConfigPathOption) == 0;
            ++i;
            if (isOption && i < argc) {
                // The directory is a file name: its bytes are used as given.
                (void)SetVORNConfigDirectory(std::string(argv[i]));
            }
        }

        CVORNConfig config;
        if (config.m_bEnableVerboseLogs) {
            CVORNLogger::GetInstance(std::string()).SetLogLevel(CVORNLogger::kVerbose);
        }

        // Process-wide set-up that must happen before any thread starts.
        signal(SIGPIPE, SIG_IGN);
        curl_global_init(CURL_GLOBAL_DEFAULT);

        CVORNAgent agent;
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
        fprintf(stderr, "Fatal error: %s\n", e.what());
        return 1;
    } catch (const std::exception& e) {
        VORN_LOG_ERROR("Fatal error [%s]", e.what());
        return 2;
    }
}
