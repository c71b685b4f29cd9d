#include "common/vornlogger.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "common/logformat.h"

namespace {

constexpr size_t kUnexpandedLimit = 2047;  // prefix + raw format + error text
constexpr size_t kLineLimit = 4095;        // the expanded line

const char* LevelName(int level) {
    switch (level) {
        case CVORNLogger::kError:
            return "error";
        case CVORNLogger::kWarning:
            return "warning";
        case CVORNLogger::kDebug:
            return "debug";
        case CVORNLogger::kVerbose:
            return "verbose";
        default:
            return "unknown";
    }
}

// The library's copy, for long fields. Inlined, the compiler knows the bound
// of the line buffer and copies with a string instruction whose start-up cost
// is a good part of a short field's.
__attribute__((noinline)) void CopyLong(char* to, const char* from, size_t n) {
    memcpy(to, from, n);
}

// Copies n bytes, sizeof(Word) <= n <= 2 * sizeof(Word), as two word moves
// that overlap in the middle.
template <typename Word>
void CopyEnds(char* to, const char* from, size_t n) {
    Word head;
    Word tail;
    memcpy(&head, from, sizeof head);
    memcpy(&tail, from + n - sizeof tail, sizeof tail);
    memcpy(to, &head, sizeof head);
    memcpy(to + n - sizeof tail, &tail, sizeof tail);
}

// Most fields (a file name, a level, a line number) are a few bytes: copied
// with fixed-size moves, without a call.
inline void CopyBytes(char* to, const char* from, size_t n) {
    if (n > 16) {
        CopyLong(to, from, n);
    } else if (n >= 8) {
        CopyEnds<uint64_t>(to, from, n);
    } else if (n >= 4) {
        CopyEnds<uint32_t>(to, from, n);
    } else if (n > 0) {
        to[0] = from[0];
        to[n / 2] = from[n / 2];
        to[n - 1] = from[n - 1];
    }
}

// Appends text to a fixed buffer of 'limit' characters plus a terminating
// NUL, cutting what does not fit, as snprintf would.
class LineBuilder {
public:
    LineBuilder(char* buffer, size_t limit, size_t used = 0)
        : m_buffer(buffer), m_limit(limit), m_used(std::min(used, limit)) {
        m_buffer[m_used] = '\0';
    }
    void Add(const char* text) {
        if (text == nullptr) {
            text = "(null)";
        }
        Add(text, strlen(text));
    }
    // A literal separator: its length is known here, so the copy is a move
    // or two when it fits.
    template <size_t N>
    void AddLiteral(const char (&text)[N]) {
        const size_t room = m_limit - m_used;
        if (room >= N - 1) {
            memcpy(m_buffer + m_used, text, N - 1);
        } else {
            // Cut: what fits, through the library (the short-copy moves
            // would read a whole word of a shorter literal).
            CopyLong(m_buffer + m_used, text, room);
        }
        m_used += std::min(room, N - 1);
        m_buffer[m_used] = '\0';
    }
    void Add(const char* text, size_t length) {
        const size_t n = std::min(length, m_limit - m_used);
        CopyBytes(m_buffer + m_used, text, n);
        m_used += n;
        m_buffer[m_used] = '\0';
    }
    void AddHex(unsigned long value) {
        char digits[2 * sizeof value];
        size_t n = 0;
        do {
            digits[sizeof digits - ++n] = "0123456789ABCDEF"[value & 0xF];
            value >>= 4;
        } while (value != 0);
        Add(digits + sizeof digits - n, n);
    }
    void AddDecimal(long value) {
        char digits[24];
        size_t n = 0;
        unsigned long magnitude =
            value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
        do {
            digits[sizeof digits - ++n] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (value < 0) {
            digits[sizeof digits - ++n] = '-';
        }
        Add(digits + sizeof digits - n, n);
    }
    size_t Length() const { return m_used; }

private:
    char* m_buffer;
    size_t m_limit;
    size_t m_used;
};

// Cuts a format string to at most maxLen characters without leaving an
// incomplete conversion at its end (which vsnprintf would misread).
size_t SafeFormatPrefix(const char* format, size_t maxLen) {
    size_t len = strnlen(format, maxLen + 1);
    if (len <= maxLen) {
        return len;
    }
    len = maxLen;
    // Walk the kept part; remember where the last unfinished directive starts.
    size_t i = 0;
    size_t cut = len;
    while (i < len) {
        if (format[i] != '%') {
            ++i;
            continue;
        }
        const size_t start = i++;
        while (i < len && strchr("0123456789.-+ #'*hlLqjzt", format[i]) != nullptr) {
            ++i;
        }
        if (i >= len) {
            cut = start;
            break;
        }
        ++i;  // the conversion character (or the second '%')
    }
    return cut;
}

void ErrorText(int code, char* out, size_t outSize) {
    char buffer[2048];
    // GNU strerror_r returns a pointer that may or may not be 'buffer'.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    if (text == nullptr || text[0] == '\0') {
        snprintf(out, outSize, "Retrieving error string of %d failed with error = %d", code, errno);
        return;
    }
    snprintf(out, outSize, "%s", text);
    const size_t len = strlen(out);
    if (len >= 2 && out[len - 2] == '\r' && out[len - 1] == '\n') {
        out[len - 2] = ' ';
        out[len - 1] = ' ';
    }
}

// Each thread keeps its kernel thread id and the text of the current second,
// so a line costs no gettid call and at most one local-time conversion per
// second. A fork bumps the generation, which makes the child look both up anew.
std::atomic<unsigned> g_forkGeneration{0};

struct ThreadLogCache {
    unsigned generation = ~0u;
    unsigned long threadId = 0;
    time_t second = static_cast<time_t>(-1);
    char timeText[25] = "";
    // "[<time>] T: <thread> F: ", the same for every line of this second.
    char head[64] = "";
    size_t headLength = 0;
};

ThreadLogCache& LogCache() {
    static const int registered = pthread_atfork(
        nullptr, nullptr, [] { g_forkGeneration.fetch_add(1, std::memory_order_relaxed); });
    (void)registered;
    thread_local ThreadLogCache cache;
    const unsigned generation = g_forkGeneration.load(std::memory_order_relaxed);
    if (cache.generation != generation) {
        cache.generation = generation;
        cache.threadId = static_cast<unsigned long>(syscall(SYS_gettid));
        cache.second = static_cast<time_t>(-1);
    }
    return cache;
}

}  // namespace

struct CVORNLoggerHolder {
    std::mutex mutex;
    std::unique_ptr<CVORNLogger, void (*)(CVORNLogger*)> logger{nullptr,
                                                                [](CVORNLogger* l) { delete l; }};
    std::atomic<CVORNLogger*> published{nullptr};

    ~CVORNLoggerHolder() { published.store(nullptr, std::memory_order_release); }
};

namespace {
CVORNLoggerHolder& Holder() {
    static CVORNLoggerHolder holder;
    return holder;
}
}  // namespace

CVORNLogger& CVORNLogger::GetInstance(const std::string& fileName) {
    CVORNLoggerHolder& holder = Holder();
    if (CVORNLogger* existing = holder.published.load(std::memory_order_acquire)) {
        return *existing;
    }
    std::lock_guard<std::mutex> lock(holder.mutex);
    if (!holder.logger) {
        holder.logger.reset(new CVORNLogger(fileName));  // may throw; then nothing is kept
        holder.published.store(holder.logger.get(), std::memory_order_release);
    }
    return *holder.logger;
}

CVORNLogger* CVORNLogger::TryGetInstance() noexcept {
    return Holder().published.load(std::memory_order_acquire);
}

CVORNLogger::CVORNLogger(const std::string& fileName) : m_strFileName(fileName) {
    if (m_strFileName.empty()) {
        throw logger_exception("Empty filename");
    }
    if (!open()) {
        throw logger_exception("Failed to create/open file : " + m_strFileName);
    }
}

CVORNLogger::~CVORNLogger() {
    closeFile();
}

int CVORNLogger::OpenLogFile(const std::string& fileName) {
    // No link following: the data directory may be writable by someone who
    // could otherwise point the log at any file. O_NONBLOCK keeps a FIFO
    // planted in its place from blocking the open; it has no effect on the
    // regular file insisted on below.
    const int fd = ::open(
        fileName.c_str(),
        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

bool CVORNLogger::open() {
    closeFile();
    if (m_strFileName == kStandardError) {
        // A link to whatever descriptor 2 is (a terminal, a pipe): chosen by
        // the one who started the tool, not planted in a data directory.
        m_fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    } else {
        m_fd = OpenLogFile(m_strFileName);
    }
    return m_fd >= 0;
}

void CVORNLogger::closeFile() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool CVORNLogger::writeWhole(const char* first, size_t firstLen, const char* second,
                             size_t secondLen) {
    iovec parts[2] = {{const_cast<char*>(first), firstLen}, {const_cast<char*>(second), secondLen}};
    iovec* next = firstLen != 0 ? parts : parts + 1;
    int count = firstLen != 0 ? 2 : 1;
    size_t written = 0;
    while (count > 0) {
        const ssize_t n =
            count == 1 ? ::write(m_fd, next->iov_base, next->iov_len) : ::writev(m_fd, next, count);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (n == 0) {
            break;
        }
        written += static_cast<size_t>(n);
        size_t left = static_cast<size_t>(n);
        while (count > 0 && left >= next->iov_len) {
            left -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + left;
            next->iov_len -= left;
        }
    }
    if (count == 0) {
        return true;
    }
    // A full disk (or a file size limit) let part of the text in. Appends
    // leave the offset at the end of what was written, so cutting the file
    // back there removes the fragment the next line would be glued to.
    if (written != 0) {
        const off_t end = ::lseek(m_fd, 0, SEEK_CUR);
        if (end >= static_cast<off_t>(written)) {
            const int ignored = ::ftruncate(m_fd, end - static_cast<off_t>(written));
            (void)ignored;
        }
    }
    return false;
}

void CVORNLogger::Log(int level, bool withErrorText, int errnoValue, const char* file,
                      const char* function, int line, const char* format, ...) {
    if (GetLogLevel() < level) {
        return;
    }

    ThreadLogCache& cache = LogCache();
    const time_t now = time(nullptr);
    if (now != cache.second) {
        struct tm local {};
        cache.timeText[0] = '\0';
        if (localtime_r(&now, &local) != nullptr) {
            strftime(cache.timeText, sizeof cache.timeText, "%c", &local);
        }
        cache.second = now;
        LineBuilder head(cache.head, sizeof cache.head - 1);
        head.AddLiteral("[");
        head.Add(cache.timeText);
        head.AddLiteral("] T: ");
        head.AddHex(cache.threadId);
        head.AddLiteral(" F: ");
        cache.headLength = head.Length();
    }
    const char* timeText = cache.timeText;
    const unsigned long threadId = cache.threadId;

    // Only the first byte: clearing the whole buffer would cost more than
    // formatting most lines.
    char errorText[2048];
    errorText[0] = '\0';
    if (withErrorText) {
        ErrorText(errnoValue, errorText, sizeof errorText);
    }

    // "[time] T: <thread, hex> F: file L: line f: function S: level :: ",
    // assembled by hand: the generic formatter's parsing of the layout was a
    // good part of a line's cost.
    char lineText[kLineLimit + 1];
    LineBuilder prefix(lineText, kLineLimit);
    prefix.Add(cache.head, cache.headLength);
    prefix.Add(file);
    prefix.AddLiteral(" L: ");
    prefix.AddDecimal(line);
    prefix.AddLiteral(" f: ");
    prefix.Add(function);
    prefix.AddLiteral(" S: ");
    prefix.Add(LevelName(level));
    prefix.AddLiteral(" :: ");
    size_t used = prefix.Length();

    // The unexpanded line (prefix, raw format, error text) is bounded too; a
    // format that would overflow it is shortened.
    const size_t fixedLen = used + 1 + strlen(errorText) + 1;
    size_t formatRoom = fixedLen < kUnexpandedLimit ? kUnexpandedLimit - fixedLen : 0;
    char formatCopy[kUnexpandedLimit + 1];
    const size_t formatLen = SafeFormatPrefix(format, formatRoom);
    const char* boundedFormat = format;
    if (format[formatLen] != '\0') {
        memcpy(formatCopy, format, formatLen);
        formatCopy[formatLen] = '\0';
        boundedFormat = formatCopy;
    }

    if (used < kLineLimit) {
        va_list args;
        va_start(args, format);
        if (vorn::IsPlainFormat(boundedFormat)) {
            size_t length = 0;
            vorn::FormatCheckedPlain(lineText + used, kLineLimit + 1 - used, boundedFormat, args,
                                     length);
            used = std::min(used + length, kLineLimit);
        } else {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
            // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above
            const int n = vsnprintf(lineText + used, kLineLimit + 1 - used, boundedFormat, args);
#pragma GCC diagnostic pop
            if (n > 0) {
                used = std::min(used + static_cast<size_t>(n), kLineLimit);
            }
        }
        va_end(args);
    }
    if (used < kLineLimit) {
        LineBuilder tail(lineText, kLineLimit, used);
        tail.AddLiteral(" ");
        tail.Add(errorText);
        tail.AddLiteral("\n");
        used = tail.Length();
    }
    if (used == 0) {
        return;
    }
    if (lineText[used - 1] != '\n') {
        // Cut: the newline takes the last place, and a character split by the
        // cut goes with it, so the line stays one line of whole characters.
        size_t end = used - 1;
        for (int back = 0;
             back < 3 && end > 0 && (static_cast<unsigned char>(lineText[end]) & 0xC0) == 0x80;
             ++back) {
            --end;
        }
        lineText[end] = '\n';
        used = end + 1;
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    struct stat st;  // filled by stat; clearing it showed in a line's cost
    if (stat(m_strFileName.c_str(), &st) == 0) {
        if (st.st_size > kRotateAboveBytes) {
            // The lines just before a rotation must not be lost to a crash
            // between the renames and the next flush of the file system.
            if (m_fd >= 0) {
                (void)::fdatasync(m_fd);
            }
            closeFile();
            if (!RotateFiles(m_strFileName)) {
                fputs("File rotation failed\n", stderr);
            }
            (void)open();
        }
    } else if (errno == ENOENT) {
        // Removed from outside: writing on would only fill an unlinked file.
        (void)open();
    }
    if (m_fd < 0 && !open()) {
        ++m_nLostLines;
        return;
    }

    char note[512];
    size_t noteLen = 0;
    if (m_nLostLines != 0) {
        const int n = snprintf(note, sizeof note,
                               "[%s] T: %lX F: %s L: %ld f: %s S: %s :: %llu log lines were lost: "
                               "the log file could not be written \n",
                               timeText, threadId, vorn::logdetail::BaseName(__FILE__),
                               static_cast<long>(__LINE__), "CVORNLogger::Log", LevelName(kWarning),
                               m_nLostLines);
        noteLen = n > 0 ? std::min(static_cast<size_t>(n), sizeof note - 1) : 0;
    }
    if (writeWhole(note, noteLen, lineText, used)) {
        m_nLostLines = 0;
        // An error line is what explains a crash that may follow: it goes to
        // the disk before the caller goes on.
        if (level == kError) {
            (void)::fdatasync(m_fd);
        }
        return;
    }
    // Whatever went wrong, the next line starts over with a fresh open.
    ++m_nLostLines;
    closeFile();
}

void CVORNLogger::Sync() noexcept {
    CVORNLogger* logger = TryGetInstance();
    if (logger == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(logger->m_mutex);
    if (logger->m_fd >= 0) {
        (void)::fdatasync(logger->m_fd);
    }
}

bool CVORNLogger::RotateFiles(const std::string& fileName) {
    char source[4200];
    char target[4200];
    for (int k = kGenerations; k >= 0; --k) {
        if (k == 0) {
            snprintf(source, sizeof source, "%s", fileName.c_str());
        } else {
            snprintf(source, sizeof source, "%s.%d", fileName.c_str(), k);
        }
        struct stat st {};
        if (lstat(source, &st) != 0) {
            continue;
        }
        if (k == kGenerations) {
            if (remove(source) != 0) {
                fprintf(stderr, "Remove  failed for %s\n", source);
                return false;
            }
            continue;
        }
        snprintf(target, sizeof target, "%s.%d", fileName.c_str(), k + 1);
        if (rename(source, target) != 0) {
            fprintf(stderr, "Rename failed for %s\n", source);
            return false;
        }
    }
    return true;
}

namespace vorn::logdetail {

namespace {

// Longer names (deeply templated lambdas) are cut.
constexpr size_t kMaxFunctionName = 255;

// Every extracted name, kept for the life of the process: each block holds
// the previous head and then the name. Chained from a global, the names stay
// reachable (a leak checker sees nothing lost) however many objects were made.
std::atomic<char*> g_nameBlocks{nullptr};

const char* KeepName(const char* text, size_t length) {
    char* block = static_cast<char*>(malloc(sizeof(char*) + length + 1));
    if (block == nullptr) {
        return nullptr;
    }
    char* name = block + sizeof(char*);
    memcpy(name, text, length);
    name[length] = '\0';
    char* head = g_nameBlocks.load(std::memory_order_relaxed);
    do {
        memcpy(block, &head, sizeof head);
    } while (!g_nameBlocks.compare_exchange_weak(head, block, std::memory_order_release,
                                                 std::memory_order_relaxed));
    return name;
}

}  // namespace

FunctionName::FunctionName(const char* pretty) {
    // __PRETTY_FUNCTION__ looks like "vorn::VORN_STATUS vorn::CVORNAgent::Run(int)" or
    // "CVORNAgent::Run()::<lambda(int)>". The qualified name is the token that
    // ends at the first '(' outside template brackets and starts after the last
    // space before it (outside template brackets).
    const size_t len = strlen(pretty);
    size_t open = len;
    int depth = 0;
    for (size_t i = 0; i < len; ++i) {
        const char c = pretty[i];
        if (c == '<') {
            ++depth;
        } else if (c == '>') {
            --depth;
        } else if (c == '(' && depth == 0) {
            // "operator()" keeps its first pair of parentheses.
            if (i >= 8 && strncmp(pretty + i - 8, "operator", 8) == 0 && pretty[i + 1] == ')') {
                i += 1;
                continue;
            }
            open = i;
            break;
        }
    }
    size_t start = 0;
    depth = 0;
    for (size_t i = open; i-- > 0;) {
        const char c = pretty[i];
        if (c == '>') {
            ++depth;
        } else if (c == '<') {
            --depth;
        } else if ((c == ' ' || c == '*' || c == '&') && depth == 0) {
            start = i + 1;
            break;
        }
    }
    const size_t n = std::min(open - start, kMaxFunctionName);
    const char* name = KeepName(pretty + start, n);
    m_pszName = name != nullptr ? name : "?";
}

}  // namespace vorn::logdetail
