// The process-wide text log.
//
// Every component logs through VORN_LOG (or VORN_LOG_ERRNO, which appends the
// text of the calling thread's errno). The macros supply the caller's source
// file, qualified function name and line, and let the compiler check the
// format against its arguments.
#pragma once

#include <atomic>
#include <cerrno>
#include <exception>
#include <mutex>
#include <string>

class CVORNLogger {
public:
    enum Level : int { kError = 1, kWarning = 2, kDebug = 3, kVerbose = 4 };

    class logger_exception : public std::exception {
    public:
        explicit logger_exception(std::string message) : m_strMessage(std::move(message)) {}
        const char* what() const noexcept override { return m_strMessage.c_str(); }

    private:
        std::string m_strMessage;
    };

    // Returns the process's logger, creating it from fileName on the first call.
    // Later calls ignore their argument. Throws logger_exception ("Empty
    // filename", "Failed to create/open file : <name>") when creation fails;
    // the next call then tries again with its own argument. The file is
    // created with mode 0600; a symbolic link, FIFO, device or directory in
    // its place is refused without blocking. The name kStandardError writes
    // to the process's standard error instead (a tool's verbose output).
    static CVORNLogger& GetInstance(const std::string& fileName);

    // The logger if it has been created, else nullptr. Never throws; used by
    // the logging macros so that code running before the logger exists (or in
    // a tool that never creates one) loses its lines instead of failing.
    static CVORNLogger* TryGetInstance() noexcept;

    // Writes one line when level <= the logger's level. Never throws for an
    // unwritable file. 'errnoValue' is the error code whose text is appended
    // when withErrorText is set (captured by the macro before anything else
    // can clobber errno).
    //
    // A line is at most 4,095 characters and always ends with a newline (a
    // longer one is cut on a character boundary). A line that cannot be
    // written is counted and leaves no partial bytes behind; the file is then
    // reopened for the next line, and the first line that gets through is
    // preceded by one saying how many were lost.
    //
    // Lines are written to the file at once but reach the disk when the file
    // system flushes them, except that an error line is flushed (fdatasync)
    // before Log returns, and the file is flushed before it is rotated: after
    // a crash of the machine the lines that explain it are there.
    void Log(int level, bool withErrorText, int errnoValue, const char* file, const char* function,
             int line, const char* format, ...) __attribute__((format(printf, 8, 9)));

    // Flushes what the process's logger has written to the disk (fdatasync);
    // nothing when there is no logger. For the end of a unit of work whose
    // lines should survive a crash of the machine.
    static void Sync() noexcept;

    void SetLogLevel(int level) { m_nLevel.store(level, std::memory_order_relaxed); }
    int GetLogLevel() const { return m_nLevel.load(std::memory_order_relaxed); }
    bool IsEnabled(int level) const { return level <= GetLogLevel(); }

    // Shifts fileName.1..4 to .2..5 (dropping .5) and fileName to fileName.1,
    // skipping generations that do not exist (links are moved, never
    // followed). Stops at the first failure,
    // reporting it on standard error. Returns whether every step succeeded.
    static bool RotateFiles(const std::string& fileName);

    // Opens fileName for appending as the logger does: created with mode 0600
    // when missing, never through a symbolic link, and only when it is a
    // regular file (a FIFO in its place fails at once instead of blocking).
    // Returns the descriptor, or -1 with errno set.
    static int OpenLogFile(const std::string& fileName);

    static constexpr const char* kStandardError = "/dev/stderr";

    // Size above which the file is rotated before the next line is written.
    static constexpr long long kRotateAboveBytes = 5000000;
    static constexpr int kGenerations = 5;

    CVORNLogger(const CVORNLogger&) = delete;
    CVORNLogger& operator=(const CVORNLogger&) = delete;

private:
    explicit CVORNLogger(const std::string& fileName);
    ~CVORNLogger();
    friend struct CVORNLoggerHolder;

    // Opens (or creates) the file for appending; false when it cannot be
    // opened or is not a regular file. Called with m_mutex held.
    bool open();
    void closeFile();
    // Writes the buffers as one append; on failure removes what reached the
    // file, so no torn line stays behind. Called with m_mutex held.
    bool writeWhole(const char* first, size_t firstLen, const char* second, size_t secondLen);

    // A raw descriptor rather than a stream: a failed or partial write must be
    // seen (and undone) at once, and the file must be opened with flags a
    // stream cannot take (no link following, no blocking on a FIFO).
    int m_fd = -1;                        // guarded by m_mutex; -1 when not open
    unsigned long long m_nLostLines = 0;  // guarded by m_mutex
    std::mutex m_mutex;
    const std::string m_strFileName;
    std::atomic<int> m_nLevel{kDebug};
};

namespace vorn::logdetail {

// Extracts the qualified function name ("vorn::CVORNAgent::MainThreadProc")
// from __PRETTY_FUNCTION__ once per call site. The name is kept on the heap,
// not in the object: there is one object per call site, and a fixed buffer in
// each would spread the few names a run uses over pages of static memory.
// Kept for the life of the process (a log line may come from a destructor of
// another static object).
class FunctionName {
public:
    explicit FunctionName(const char* prettyFunction);
    const char* c_str() const { return m_pszName; }

private:
    const char* m_pszName;
};

// Base name of a compile-time source path.
constexpr const char* BaseName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            base = p + 1;
        }
    }
    return base;
}

}  // namespace vorn::logdetail

#define VORN_LOG_IMPL(level, withError, ...)                                                 \
    do {                                                                                     \
        const int vornSavedErrno_ = errno;                                                   \
        CVORNLogger* vornLogger_ = CVORNLogger::TryGetInstance();                            \
        if (vornLogger_ != nullptr && vornLogger_->IsEnabled(level)) {                       \
            static const ::vorn::logdetail::FunctionName vornFunction_(__PRETTY_FUNCTION__); \
            vornLogger_->Log(level, withError, vornSavedErrno_,                              \
                             ::vorn::logdetail::BaseName(__FILE__), vornFunction_.c_str(),   \
                             __LINE__, __VA_ARGS__);                                         \
        }                                                                                    \
        errno = vornSavedErrno_;                                                             \
    } while (0)

// Same, with the function named by the caller: for a helper that logs on
// behalf of the function whose step it performs, so the line names that one.
#define VORN_LOG_AS_IMPL(level, withError, function, ...)                               \
    do {                                                                                \
        const int vornSavedErrno_ = errno;                                              \
        CVORNLogger* vornLogger_ = CVORNLogger::TryGetInstance();                       \
        if (vornLogger_ != nullptr && vornLogger_->IsEnabled(level)) {                  \
            vornLogger_->Log(level, withError, vornSavedErrno_,                         \
                             ::vorn::logdetail::BaseName(__FILE__), function, __LINE__, \
                             __VA_ARGS__);                                              \
        }                                                                               \
        errno = vornSavedErrno_;                                                        \
    } while (0)

// VORN_LOG(CVORNLogger::kError, "text %d", value)
#define VORN_LOG(level, ...) VORN_LOG_IMPL(level, false, __VA_ARGS__)
// Same, with the text of the current errno appended.
#define VORN_LOG_ERRNO(level, ...) VORN_LOG_IMPL(level, true, __VA_ARGS__)
// VORN_LOG_AS(CVORNLogger::kError, "vorn::CVORNConfig::parseBootstrapConfig", "text")
#define VORN_LOG_AS(level, function, ...) VORN_LOG_AS_IMPL(level, false, function, __VA_ARGS__)
#define VORN_LOG_ERRNO_AS(level, function, ...) VORN_LOG_AS_IMPL(level, true, function, __VA_ARGS__)

#define VORN_LOG_ERROR(...) VORN_LOG(CVORNLogger::kError, __VA_ARGS__)
#define VORN_LOG_WARNING(...) VORN_LOG(CVORNLogger::kWarning, __VA_ARGS__)
#define VORN_LOG_DEBUG(...) VORN_LOG(CVORNLogger::kDebug, __VA_ARGS__)
#define VORN_LOG_VERBOSE(...) VORN_LOG(CVORNLogger::kVerbose, __VA_ARGS__)
