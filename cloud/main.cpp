// vorn-cloud: the reference identity service for development, demos and tests.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cloud/certificates.h"
#include "cloud/faultknobs.h"
#include "cloud/httpsserver.h"
#include "cloud/identityservice.h"
#include "common/vornlogger.h"

namespace {

const char kUsage[] =
    "Usage:\n"
    "  vorn-cloud --generate-cert DIR\n"
    "  vorn-cloud --cert FILE --key FILE [--port N] [--bind ADDRESS] [--db FILE]\n"
    "             [--account BID:KEY]... [--fault-knobs [--default-query QUERY]]\n"
    "             [--ready-file FILE] [--log FILE] [--no-stdin] [--io-timeout-ms N]\n"
    "             [--handshake-timeout-ms N]\n"
    "  vorn-cloud --help\n"
    "\n"
    "The reference identity service: answers identity requests over HTTPS (TLS 1.2+).\n"
    "\n"
    "Options:\n"
    "  --generate-cert DIR   create DIR (mode 0700) when missing, write DIR/ca.pem (a fresh test "
    "CA), DIR/server.pem and\n"
    "                        DIR/server.key (signed by that CA, for IP:127.0.0.1 and\n"
    "                        DNS:localhost), DIR/untrusted.pem and DIR/untrusted.key\n"
    "                        (self-signed, trusted by no one); keys mode 0600; exit 0\n"
    "  --cert FILE           PEM server certificate (chain) to serve with\n"
    "  --key FILE            PEM private key of that certificate\n"
    "  --port N              TCP port; 0 (default) picks a free one\n"
    "  --bind ADDRESS        address to listen on (default 127.0.0.1)\n"
    "  --db FILE             SQLite file of known devices (default: in memory)\n"
    "  --account BID:KEY     accept this business id / installer key pair; may repeat;\n"
    "                        without any, every non-empty pair is accepted\n"
    "  --fault-knobs         honour the fault knobs below (for tests only: they let any\n"
    "                        client stall connections or stream 1 GiB); without it a\n"
    "                        POST with a query string gets 400\n"
    "  --default-query QUERY fault knobs for every POST that has no query string\n"
    "                        (needs --fault-knobs)\n"
    "  --ready-file FILE     once listening, write \"<port>\\n\" to FILE (atomically)\n"
    "  --log FILE            write a log (verbose level) to FILE\n"
    "  --no-stdin            do not stop at end of standard input (for running detached)\n"
    "  --io-timeout-ms N     bound on reading a request, writing an answer and an idle\n"
    "                        connection (default 5000)\n"
    "  --handshake-timeout-ms N\n"
    "                        bound on a TLS handshake (default 2000, never above the\n"
    "                        I/O bound). One peer address holds at most 32 connections,\n"
    "                        all peers together 256.\n"
    "\n"
    "Once listening it prints \"listening on ADDRESS:PORT\" on standard output. It serves\n"
    "until SIGTERM or SIGINT, or until standard input reaches end of file; exit code 0.\n"
    "\n"
    "Endpoints:\n"
    "  POST <any path>[?QUERY]  identity exchange (QUERY only with --fault-knobs). The\n"
    "                           body is the request document:\n"
    "                           "
    "{\"business\":{\"id\",\"installer_key\"},\"hardware\":{\"serial_number\",\n"
    "                           \"uuid\",...},\"os\":{\"hostname\",...},\"misc\":{\"product\":{},\n"
    "                           \"cache\":{\"vorn\",\"vorn_token\",\"instance_key\"}}}.\n"
    "                           200 {\"vorn\",\"vorn_token\",\"instance_key\"}: the VORN id "
    "derives\n"
    "                           from the business id and the hardware section (same business\n"
    "                           and hardware, same id, whatever the order of the disks), or\n"
    "                           is kept from a valid cache; each answer carries a fresh token.\n"
    "                           Errors: {\"code\":N,\"msg\":\"...\"} with status N: 400 malformed\n"
    "                           document, knob or a query without --fault-knobs, 401 unknown\n"
    "                           business id / installer key,\n"
    "                           413 body above 1 MiB, 500 database failure.\n"
    "  GET  /stats              200 {\"identity_requests\":N}: POSTs received so far\n"
    "\n"
    "Fault knobs (with --fault-knobs: query parameters of a POST, or --default-query):\n"
    "  status=NNN            answer with this status (200-599); outside 2xx the body is\n"
    "                        the error document {\"code\":NNN,\"msg\":...}\n"
    "  retry_after=TEXT      add \"Retry-After: TEXT\" verbatim (dates, garbage allowed)\n"
    "  delay_ms=N            wait N ms before answering (at most 60000)\n"
    "  body=empty            empty body\n"
    "  body=notjson          a body that is not JSON\n"
    "  body=oversize         a 2 MiB JSON body\n"
    "  body=nomembers        a JSON object without the identity members\n"
    "  redirect=URL          answer 302 with Location: URL\n"
    "  fault=reset           reset the connection in the middle of the answer\n"
    "  fault=stall           accept the request and never answer (connection held 60 s)\n"
    "  fault=huge-headers    64 KiB of response headers\n"
    "  fault=huge-body       stream a 1 GiB body\n"
    "  fault=garbage         write bytes that are not HTTP, then close\n"
    "  once=1                apply the other knobs only if this is the first POST\n"
    "Values are percent-decoded; an unknown knob or bad value gets 400.\n"
    "\n"
    "Example:\n"
    "  vorn-cloud --generate-cert /tmp/certs\n"
    "  vorn-cloud --cert /tmp/certs/server.pem --key /tmp/certs/server.key --port 8443 \\\n"
    "             --fault-knobs &\n"
    "  curl --cacert /tmp/certs/ca.pem -d @request.json "
    "'https://127.0.0.1:8443/id?status=503&retry_after=30'\n";

int Usage(const char* problem) {
    std::fprintf(stderr, "vorn-cloud: %s\n\n%s", problem, kUsage);
    return 2;
}

bool WriteReadyFile(const std::string& path, unsigned short port) {
    const std::string temp = path + ".tmp";
    FILE* file = std::fopen(temp.c_str(), "we");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fprintf(file, "%u\n", static_cast<unsigned>(port)) > 0;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed || std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

// Blocks until SIGTERM or SIGINT arrives or, when watched, standard input
// reaches its end. The signals are blocked in every thread and taken here
// through a signalfd, so no handler runs inside the server.
void WaitForStop(int signalFd, bool watchStdin) {
    // A closed descriptor 0 has nothing to watch.
    if (watchStdin && ::fcntl(STDIN_FILENO, F_GETFD) < 0) {
        watchStdin = false;
    }
    for (;;) {
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const int count = ::poll(fds, watchStdin ? 2 : 1, -1);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[0].revents != 0) {
            signalfd_siginfo info{};
            (void)!::read(signalFd, &info, sizeof(info));
            std::fprintf(stderr, "vorn-cloud: %s, stopping\n", strsignal(info.ssi_signo));
            return;
        }
        if (watchStdin && fds[1].revents != 0) {
            char buffer[512];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof(buffer));
            if (n == 0) {
                return;  // end of input: the parent is gone or asks us to stop
            }
            if (n < 0 && errno != EINTR && errno != EAGAIN) {
                watchStdin = false;
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string generateDir;
    std::string dbPath;
    std::string readyFile;
    std::string logFile;
    bool watchStdin = true;
    vorn::cloud::HttpsServerOptions options;
    std::vector<std::pair<std::string, std::string>> accounts;

    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--no-stdin") {
            watchStdin = false;
            continue;
        }
        if (arg == "--fault-knobs") {
            options.m_bFaultKnobs = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            return Usage(("unknown option or missing value: " + arg).c_str());
        }
        const std::string& value = args[++i];
        if (arg == "--generate-cert") {
            generateDir = value;
        } else if (arg == "--cert") {
            options.m_strCertFile = value;
        } else if (arg == "--key") {
            options.m_strKeyFile = value;
        } else if (arg == "--port") {
            char* end = nullptr;
            errno = 0;
            const unsigned long port = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || port > 65535) {
                return Usage(("invalid port: " + value).c_str());
            }
            options.m_nPort = static_cast<unsigned short>(port);
        } else if (arg == "--io-timeout-ms") {
            char* end = nullptr;
            errno = 0;
            const unsigned long ms = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || ms == 0 || ms > 600000) {
                return Usage(("invalid --io-timeout-ms (1..600000): " + value).c_str());
            }
            options.m_ioTimeout = std::chrono::milliseconds(ms);
        } else if (arg == "--handshake-timeout-ms") {
            char* end = nullptr;
            errno = 0;
            const unsigned long ms = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || ms == 0 || ms > 600000) {
                return Usage(("invalid --handshake-timeout-ms (1..600000): " + value).c_str());
            }
            options.m_handshakeTimeout = std::chrono::milliseconds(ms);
        } else if (arg == "--bind") {
            options.m_strBindAddress = value;
        } else if (arg == "--db") {
            dbPath = value;
        } else if (arg == "--account") {
            const size_t colon = value.find(':');
            if (colon == std::string::npos || colon == 0 || colon + 1 == value.size()) {
                return Usage(("--account needs BID:KEY, got: " + value).c_str());
            }
            accounts.emplace_back(value.substr(0, colon), value.substr(colon + 1));
        } else if (arg == "--default-query") {
            vorn::cloud::FaultKnobs knobs;
            std::string error;
            if (!vorn::cloud::ParseFaultKnobs(value, knobs, error)) {
                return Usage(("invalid --default-query: " + error).c_str());
            }
            options.m_strDefaultQuery = value;
        } else if (arg == "--ready-file") {
            readyFile = value;
        } else if (arg == "--log") {
            logFile = value;
        } else {
            return Usage(("unknown option: " + arg).c_str());
        }
    }

    if (!generateDir.empty()) {
        std::string error;
        if (!vorn::cloud::GenerateTestCertificates(generateDir, error)) {
            std::fprintf(stderr, "vorn-cloud: %s\n", error.c_str());
            return 1;
        }
        std::printf("certificates written to %s\n", generateDir.c_str());
        return 0;
    }
    if (options.m_strCertFile.empty() || options.m_strKeyFile.empty()) {
        return Usage("--cert and --key are required to serve");
    }
    if (!options.m_strDefaultQuery.empty() && !options.m_bFaultKnobs) {
        return Usage("--default-query needs --fault-knobs");
    }
    if (!logFile.empty()) {
        try {
            CVORNLogger::GetInstance(logFile).SetLogLevel(CVORNLogger::kVerbose);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "vorn-cloud: cannot open log %s: %s\n", logFile.c_str(), e.what());
            return 1;
        }
    }
    ::signal(SIGPIPE, SIG_IGN);

    vorn::cloud::CIdentityService service;
    if (service.Open(dbPath) != vorn::VORN_STATUS::VORN_OK) {
        std::fprintf(stderr, "vorn-cloud: cannot open the device database %s\n",
                     dbPath.empty() ? "(in memory)" : dbPath.c_str());
        return 1;
    }
    for (const auto& [businessId, installerKey] : accounts) {
        service.AddAccount(businessId, installerKey);
    }

    // Blocked before the server thread starts, so that it inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (signalFd < 0) {
        std::fprintf(stderr, "vorn-cloud: signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    vorn::cloud::CHttpsServer server(service, options);
    std::string error;
    if (server.Start(error) != vorn::VORN_STATUS::VORN_OK) {
        std::fprintf(stderr, "vorn-cloud: %s\n", error.c_str());
        ::close(signalFd);
        return 1;
    }
    std::printf("listening on %s:%u\n", options.m_strBindAddress.c_str(),
                static_cast<unsigned>(server.Port()));
    std::fflush(stdout);
    if (!readyFile.empty() && !WriteReadyFile(readyFile, server.Port())) {
        std::fprintf(stderr, "vorn-cloud: cannot write %s: %s\n", readyFile.c_str(),
                     std::strerror(errno));
        server.Stop();
        ::close(signalFd);
        return 1;
    }

    WaitForStop(signalFd, watchStdin);
    server.Stop();
    ::close(signalFd);
    return 0;
}
