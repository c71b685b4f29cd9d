// The process's crash catcher: fatal signals and aborts end in a core dump,
// written by the crash server when one took our registration, else by the
// process itself into the dump directory.
//
// Caught: SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS and SIGABRT (failed
// assertions, std::terminate — uncaught exceptions and pure virtual calls end
// there — and glibc's fortify failures). The handler runs on an alternate
// signal stack for the thread that installed it, so a stack overflow of that
// thread is caught too; threads started later overflow without a dump.
//
// After the dump, the signal's original disposition is restored and the
// signal raised again, so the process dies as it would have without us (the
// exit status names the signal). A second signal on another thread waits for
// the first to finish; a fault inside the handler itself ends the process at
// once with the original signal.
//
// At most one handler is installed per process: constructing one while
// another is installed is a programming error (the owner replaces them by
// destroying the old one first). Construction and destruction belong to one
// thread, before and after the threads that may crash.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <string>

#include "agent/linux/coredumpwriter.h"
#include "agent/linux/crashserverprotocol.h"

namespace vorn {

struct CrashServerOptions {
    std::string serverName = "BREVANE_CRASH";  // abstract socket name
    int registerTimeoutMs = 1000;              // bound on registration at set-up
    int acknowledgeTimeoutMs = 10000;          // bound on the server's dump of a crash
};

class CCrashExceptionHandler {
public:
    // Called after each crash on the crashing thread, in signal context: the
    // file that was written ("" when the server wrote it or nothing was
    // written), whether the server wrote it, the context given at
    // construction and whether a dump exists. Its result is passed on.
    using DumpCallback = bool (*)(const char* dumpPath, bool outOfProcess, void* context,
                                  bool succeeded);

    // Registers with the crash server (bounded by options.registerTimeoutMs)
    // and installs the signal handlers. dumpType 2 asks for all memory, any
    // other value for stacks only (see coredumpwriter.h).
    CCrashExceptionHandler(const std::string& dumpDirectory, int dumpType, DumpCallback callback,
                           void* context, const CrashServerOptions& options);
    // Restores the signal dispositions found at construction.
    ~CCrashExceptionHandler();
    CCrashExceptionHandler(const CCrashExceptionHandler&) = delete;
    CCrashExceptionHandler& operator=(const CCrashExceptionHandler&) = delete;

    // Whether the crash server accepted the registration.
    bool IsOutOfProcess() const { return m_bOutOfProcess; }

    // Stops calling back with 'context' (its owner is going away); the
    // handler itself stays installed.
    void DetachContext(void* context);
    void* Context() const { return m_pContext.load(); }

    // Signal entry point (public for the file-local trampoline only).
    void HandleCrash(int signo, siginfo_t* info, void* ucontext);
    // Restores the original dispositions of the caught signals.
    void RestoreDispositions() const;

private:
    bool OfferToServer(const CrashRequest& request) const;
    bool WriteInProcess(const CoreDumpRequest& request, char* path, size_t pathSize) const;

    char m_szDirectory[4096];
    char m_szPrefix[64];  // file name start: the program's name
    char m_szServer[108];
    int m_nDumpType;
    int m_nAcknowledgeTimeoutMs;
    bool m_bOutOfProcess = false;
    DumpCallback m_fnCallback;
    std::atomic<void*> m_pContext;
    struct sigaction m_oldActions[7];
};

}  // namespace vorn
