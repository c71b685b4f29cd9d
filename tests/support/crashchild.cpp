// Installs the crash handler and then crashes in the way its first argument
// names, so tests can look at the dump, the log and the exit status.
//
//   crashchild <kind> <log file> <dump directory> [server name|-] [ack ms] [first directory]
//
// kind: segv (null dereference), abort, terminate (std::terminate), purevirtual.
// With a first directory, a handler is set up on it before the real one, to
// show that the second set-up replaces the first.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "agent/linux/crashhandlerclient.h"
#include "common/vornlogger.h"
#include "common/vornutils.h"

namespace {

volatile int* g_nullPointer = nullptr;

__attribute__((noinline)) void CrashByNullDereference() {
    *g_nullPointer = 42;
}

__attribute__((noinline)) void CrashByAbort() {
    abort();
}

__attribute__((noinline)) void CrashByTerminate() {
    std::terminate();
}

struct Base;
// Read back through a volatile so the optimiser cannot see the object's
// dynamic type and devirtualise (or drop) the call.
Base* volatile g_underConstruction = nullptr;
void CallWork();

struct Base {
    Base() {
        g_underConstruction = this;
        CallWork();
    }
    virtual ~Base() = default;
    virtual void Work() = 0;
};

__attribute__((noinline)) void CallWork() {
    g_underConstruction->Work();
}
struct Derived : Base {
    void Work() override {}
};

__attribute__((noinline)) void CrashByPureVirtualCall() {
    Derived derived;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 4) {
        fputs("usage: crashchild <kind> <log> <dir> [server|-] [ack ms] [first dir]\n", stderr);
        return 64;
    }
    const std::string kind = argv[1];
    CVORNLogger::GetInstance(argv[2]).SetLogLevel(CVORNLogger::kVerbose);

    vorn::CrashServerOptions server;
    // By default no server: a name nobody listens on.
    server.serverName = "VORN_CRASH_NOBODY_" + std::to_string(getpid());
    if (argc > 4 && strcmp(argv[4], "-") != 0) {
        server.serverName = argv[4];
    }
    if (argc > 5) {
        server.acknowledgeTimeoutMs = atoi(argv[5]);
    }
    if (argc > 6) {
        CrashHandlerClient first(vorn::UTF8ToWide(argv[6]), 2, server);
        printf("first=%d\n", first.SetupCrashHandler() ? 1 : 0);
    }
    CrashHandlerClient client(vorn::UTF8ToWide(argv[3]), 2, server);
    printf("setup=%d\n", client.SetupCrashHandler() ? 1 : 0);
    fflush(stdout);

    if (kind == "segv") {
        CrashByNullDereference();
    } else if (kind == "abort") {
        CrashByAbort();
    } else if (kind == "terminate") {
        CrashByTerminate();
    } else if (kind == "purevirtual") {
        CrashByPureVirtualCall();
    }
    fputs("did not crash\n", stderr);
    return 3;
}
