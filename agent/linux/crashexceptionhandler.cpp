#include "agent/linux/crashexceptionhandler.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#if defined(__x86_64__)
#include <asm/prctl.h>
#endif

#include <cerrno>
#include <cstring>

#include "common/linux/processstop.h"

namespace vorn {

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS, SIGABRT};
constexpr size_t kSignalCount = sizeof kSignals / sizeof kSignals[0];
constexpr size_t kAltStackSize = 64 * 1024;
// Logging after a dump goes through the process's logger, which takes locks
// the crashed thread may hold; this bounds that step.
constexpr unsigned kLogWatchdogSeconds = 3;

// Process-wide: the signal handler can only reach state through statics.
std::atomic<CCrashExceptionHandler*> s_active{nullptr};
std::atomic<pid_t> s_handlingTid{0};
std::atomic<int> s_crashSignal{0};
CoreDumpScratch s_scratch;
void* s_altStack = nullptr;

pid_t CurrentTid() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

void UnblockSignal(int signo) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// Ends the process with 'signo', whatever disposition is installed.
[[noreturn]] void ForceDeath(int signo, pid_t tid) {
    signal(signo, SIG_DFL);
    UnblockSignal(signo);
    syscall(SYS_tgkill, getpid(), tid, signo);
    kill(getpid(), signo);
    _exit(128 + signo);  // only when the signal's default does not terminate
}

void WatchdogExpired(int) {
    const int signo = s_crashSignal.load();
    ForceDeath(signo != 0 ? signo : SIGABRT, s_handlingTid.load());
}

void CrashSignalHandler(int signo, siginfo_t* info, void* ucontext) {
    const int savedErrno = errno;
    const pid_t tid = CurrentTid();
    pid_t expected = 0;
    if (!s_handlingTid.compare_exchange_strong(expected, tid)) {
        if (expected == tid) {
            // A fault inside our own handler: give up the dump, keep the cause.
            const int original = s_crashSignal.load();
            ForceDeath(original != 0 ? original : signo, tid);
        }
        // Another thread is writing its dump and will end the process.
        for (;;) {
            struct timespec pauseTime {
                1, 0
            };
            nanosleep(&pauseTime, nullptr);
        }
    }
    s_crashSignal.store(signo);
    CCrashExceptionHandler* handler = s_active.load();
    if (handler != nullptr) {
        handler->HandleCrash(signo, info, ucontext);
        handler->RestoreDispositions();
    }
    struct sigaction current {};
    sigaction(signo, nullptr, &current);
    if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_IGN) {
        signal(signo, SIG_DFL);  // an ignored fault would loop forever
    }
    UnblockSignal(signo);
    // Raised again for the original disposition. A hardware fault would also
    // recur on return, an abort() continues with its own termination.
    syscall(SYS_tgkill, getpid(), tid, signo);
    errno = savedErrno;
}

void AppendSanitized(char* buffer, size_t size, size_t* used, const char* text) {
    for (; *text != '\0' && *text != '\n'; ++text) {
        const char c = *text;
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        const char keep[2] = {plain ? c : '_', '\0'};
        if (!SafeAppend(buffer, size, used, keep)) {
            return;
        }
    }
}

}  // namespace

CCrashExceptionHandler::CCrashExceptionHandler(const std::string& dumpDirectory, int dumpType,
                                               DumpCallback callback, void* context,
                                               const CrashServerOptions& options)
    : m_nDumpType(dumpType),
      m_nAcknowledgeTimeoutMs(options.acknowledgeTimeoutMs),
      m_fnCallback(callback),
      m_pContext(context) {
    size_t used = 0;
    m_szDirectory[0] = '\0';
    SafeAppend(m_szDirectory, sizeof m_szDirectory, &used, dumpDirectory.c_str());
    if (used > 0 && m_szDirectory[used - 1] != '/') {
        SafeAppend(m_szDirectory, sizeof m_szDirectory, &used, "/");
    }
    used = 0;
    m_szServer[0] = '\0';
    SafeAppend(m_szServer, sizeof m_szServer, &used, options.serverName.c_str());

    char comm[32] = "";
    const int commFd = open("/proc/self/comm", O_RDONLY | O_CLOEXEC);
    if (commFd >= 0) {
        const ssize_t n = read(commFd, comm, sizeof comm - 1);
        comm[n > 0 ? n : 0] = '\0';
        close(commFd);
    }
    used = 0;
    m_szPrefix[0] = '\0';
    AppendSanitized(m_szPrefix, sizeof m_szPrefix, &used, comm[0] != '\0' ? comm : "crash");

    // Reserved once per process and never released: a thread may still be
    // running on the alternate stack, or dumping, when a handler is replaced.
    if (s_scratch.memory == nullptr) {
        (void)ReserveCoreDumpScratch(&s_scratch);
    }
    if (s_altStack == nullptr) {
        void* stack = mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        s_altStack = stack == MAP_FAILED ? nullptr : stack;
    }
    stack_t current{};
    if (s_altStack != nullptr && sigaltstack(nullptr, &current) == 0 &&
        (current.ss_flags & SS_DISABLE) != 0) {
        stack_t stack{};
        stack.ss_sp = s_altStack;
        stack.ss_size = kAltStackSize;
        (void)sigaltstack(&stack, nullptr);
    }

    pid_t serverPid = 0;
    const int fd = ConnectToCrashServer(m_szServer, &serverPid);
    if (fd >= 0) {
        CrashRequest request{};
        request.magic = kCrashMagic;
        request.version = kCrashProtocolVersion;
        request.type = eCrashRequestRegister;
        request.pid = getpid();
        request.dumpType = dumpType;
        CrashReply reply{};
        // A termination asked for meanwhile must not wait for a slow server:
        // the in-process dump still covers a crash.
        m_bOutOfProcess =
            ExchangeCrashMessage(fd, request, options.registerTimeoutMs, &reply, ProcessStopFd()) &&
            reply.type == eCrashReplyRegistered;
        close(fd);
    }

    struct sigaction action {};
    action.sa_sigaction = CrashSignalHandler;
    // SA_NODEFER: a fault inside the handler must reach it again (to die with
    // the original signal) instead of being forced to the default at once.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    s_active.store(this);
    for (size_t i = 0; i < kSignalCount; ++i) {
        sigaction(kSignals[i], &action, &m_oldActions[i]);
    }
}

CCrashExceptionHandler::~CCrashExceptionHandler() {
    RestoreDispositions();
    CCrashExceptionHandler* self = this;
    s_active.compare_exchange_strong(self, nullptr);
}

void CCrashExceptionHandler::RestoreDispositions() const {
    for (size_t i = 0; i < kSignalCount; ++i) {
        sigaction(kSignals[i], &m_oldActions[i], nullptr);
    }
}

void CCrashExceptionHandler::DetachContext(void* context) {
    m_pContext.compare_exchange_strong(context, nullptr);
}

bool CCrashExceptionHandler::OfferToServer(const CrashRequest& request) const {
    pid_t serverPid = 0;
    const int fd = ConnectToCrashServer(m_szServer, &serverPid);
    if (fd < 0) {
        return false;
    }
    // Without this a Yama-restricted kernel refuses the server our memory.
    (void)prctl(PR_SET_PTRACER, static_cast<unsigned long>(serverPid), 0, 0, 0);
    CrashReply reply{};
    const bool written = ExchangeCrashMessage(fd, request, m_nAcknowledgeTimeoutMs, &reply) &&
                         reply.type == eCrashReplyDumpWritten;
    close(fd);
    if (!written) {
        (void)prctl(PR_SET_PTRACER, 0UL, 0, 0, 0);
    }
    return written;
}

bool CCrashExceptionHandler::WriteInProcess(const CoreDumpRequest& request, char* path,
                                            size_t pathSize) const {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    int fd = -1;
    for (unsigned attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        size_t used = 0;
        path[0] = '\0';
        SafeAppend(path, pathSize, &used, m_szDirectory);
        SafeAppend(path, pathSize, &used, m_szPrefix);
        SafeAppend(path, pathSize, &used, "-");
        SafeAppendNumber(path, pathSize, &used, static_cast<unsigned long long>(request.pid));
        SafeAppend(path, pathSize, &used, "-");
        SafeAppendNumber(path, pathSize, &used, static_cast<unsigned long long>(now.tv_sec));
        if (attempt > 0) {
            SafeAppend(path, pathSize, &used, "-");
            SafeAppendNumber(path, pathSize, &used, attempt);
        }
        if (!SafeAppend(path, pathSize, &used, ".core")) {
            break;
        }
        // Never overwrite, never follow a planted link.
        fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        path[0] = '\0';
        return false;
    }
    const int result = WriteCoreDump(fd, request, s_scratch);
    close(fd);
    return result == 0;
}

void CCrashExceptionHandler::HandleCrash(int signo, siginfo_t* info, void* ucontext) {
    unsigned long long fsBase = 0;
#if defined(__x86_64__)
    (void)syscall(SYS_arch_prctl, ARCH_GET_FS, &fsBase);
#endif
    user_regs_struct regs{};
    const void* fpregs = nullptr;
    size_t fpregsSize = 0;
    if (ucontext != nullptr) {
        RegistersFromContext(*static_cast<const ucontext_t*>(ucontext), fsBase, &regs, &fpregs,
                             &fpregsSize);
    }
    const pid_t pid = getpid();
    const pid_t tid = CurrentTid();
    const int code = info != nullptr ? info->si_code : 0;
    const unsigned long long address =
        info != nullptr ? reinterpret_cast<unsigned long long>(info->si_addr) : 0;

    bool outOfProcess = false;
    if (m_bOutOfProcess) {
        CrashRequest request{};
        request.magic = kCrashMagic;
        request.version = kCrashProtocolVersion;
        request.type = eCrashRequestCrash;
        request.pid = pid;
        request.tid = tid;
        request.signo = signo;
        request.code = code;
        request.address = address;
        request.dumpType = m_nDumpType;
        request.regsSize = sizeof regs;
        memcpy(request.regs, &regs, sizeof regs);
        outOfProcess = OfferToServer(request);
    }

    char path[4200] = "";
    bool succeeded = outOfProcess;
    if (!outOfProcess) {
        CoreDumpRequest request;
        request.pid = pid;
        request.tid = tid;
        request.signo = signo;
        request.code = code;
        request.address = address;
        request.regs = &regs;
        request.fpregs = fpregs;
        request.fpregsSize = fpregsSize;
        request.fullMemory = m_nDumpType == 2;
        succeeded = WriteInProcess(request, path, sizeof path);
    }

    void* context = m_pContext.load();
    if (m_fnCallback != nullptr && context != nullptr) {
        struct sigaction watchdog {};
        watchdog.sa_handler = WatchdogExpired;
        sigemptyset(&watchdog.sa_mask);
        sigaction(SIGALRM, &watchdog, nullptr);
        UnblockSignal(SIGALRM);
        alarm(kLogWatchdogSeconds);
        (void)m_fnCallback(path, outOfProcess, context, succeeded);
        alarm(0);
    }
}

}  // namespace vorn
